// The one failure type of the system: a kind tag with the fields of that kind.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel_bo::core {

// One entry of the detail list that provider-side errors carry.
struct ApiFieldError {
    std::optional<std::string> field;
    std::string message;
    std::optional<std::string> code;
};

enum class ErrorKind : std::uint8_t {
    validation,
    authentication,
    api,
    ambiguous,
    decode,
    webhook_auth,
    ffi,
};

std::string_view kind_text(ErrorKind kind) noexcept;

// Only the fields of `kind` are meaningful; the named constructors set all of them.
struct Error {
    ErrorKind kind = ErrorKind::ffi;
    std::string field;
    std::string message;
    std::uint16_t status = 0;
    std::vector<ApiFieldError> errors;
    bool retryable = false;
};

// What a routine that can fail returns: its value, or the failure (Result<void> for a check).
template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// Hands the failure of `result` on to the caller: `if (!r) return propagate(r);`
template <class T>
std::unexpected<Error> propagate(Result<T>& result) {
    return fail(std::move(result.error()));
}

inline Error validation(std::string field, std::string message) {
    return Error{ErrorKind::validation, std::move(field), std::move(message), 0, {}, false};
}
inline Error authentication(std::uint16_t status, std::string message) {
    return Error{ErrorKind::authentication, {}, std::move(message), status, {}, false};
}
inline Error api(std::uint16_t status, std::string message, std::vector<ApiFieldError> errors, bool retryable) {
    return Error{ErrorKind::api, {}, std::move(message), status, std::move(errors), retryable};
}
inline Error ambiguous(std::string message, std::vector<ApiFieldError> errors) {
    return Error{ErrorKind::ambiguous, {}, std::move(message), 0, std::move(errors), false};
}
inline Error decode(std::string message) { return Error{ErrorKind::decode, {}, std::move(message), 0, {}, false}; }
inline Error webhook_auth(std::string message) {
    return Error{ErrorKind::webhook_auth, {}, std::move(message), 0, {}, false};
}
inline Error ffi_error(std::string message) { return Error{ErrorKind::ffi, {}, std::move(message), 0, {}, false}; }

}  // namespace quorvel_bo::core
