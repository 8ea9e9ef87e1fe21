// Error kinds: their fixed texts.
#include "core/error.hpp"

namespace quorvel_bo::core {

std::string_view kind_text(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::validation: return "validation";
        case ErrorKind::authentication: return "authentication";
        case ErrorKind::api: return "api";
        case ErrorKind::ambiguous: return "ambiguous";
        case ErrorKind::decode: return "decode";
        case ErrorKind::webhook_auth: return "webhook_auth";
        case ErrorKind::ffi: return "ffi";
    }
    return "ffi";
}

}  // namespace quorvel_bo::core
