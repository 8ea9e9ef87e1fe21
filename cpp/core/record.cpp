// Record decoding: the wording of type, range and length failures.
#include "core/record.hpp"

#include <charconv>

namespace quorvel_bo::core::json {

namespace {
// Texts of up to this many digits hold an int64 without overflow.
constexpr std::size_t kShortInteger = 18;
}  // namespace

std::string describe(const Value& value) {
    switch (value.kind()) {
        case Kind::null: return "null";
        case Kind::boolean: return value.as_bool() ? "boolean `true`" : "boolean `false`";
        case Kind::number:
            return (is_integer_text(value.text()) ? "integer `" : "floating point `") + std::string(value.text()) + "`";
        // Only the kind: a string given in the wrong place may be a secret (a token sent as a record).
        case Kind::string: return "string";
        case Kind::array: return "sequence";
        case Kind::object:
        case Kind::written: return "map";
    }
    return "value";
}

std::unexpected<DecodeError> invalid_type(const Value& value, std::string_view expected) {
    std::string message = "invalid type: " + describe(value) + ", expected ";
    message += expected;
    return decode_failure(std::move(message), value);
}

Decoded<std::int64_t> decode_int64(const Value& v, std::string_view type_name, std::int64_t min, std::int64_t max) {
    std::string_view text = v.text();
    // Most integers are a few digits: read at once when every byte is one and the value is in range.
    if (v.is_number() && !text.empty() && text.size() <= kShortInteger) {
        std::int64_t n = 0;
        bool digits = true;
        for (char c : text) {
            digits = digits && c >= '0' && c <= '9';
            n = n * 10 + (c - '0');
        }
        if (digits && n >= min && n <= max) return n;
    }
    if (!v.is_number() || !is_integer_text(v.text())) return invalid_type(v, type_name);
    std::int64_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < min || n > max) {
        std::string message = "invalid value: integer `" + std::string(text) + "`, expected ";
        message += type_name;
        return decode_failure(std::move(message), v);
    }
    return n;
}

Value encode_integer(long long number, Arena& arena) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number);
    (void)ec;
    return Value::number(arena.copy({buffer, static_cast<std::size_t>(end - buffer)}));
}

std::string unknown_variant(std::string_view given, std::span<const std::string_view> names) {
    std::string message = "unknown variant `" + std::string(given) + "`, expected one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) message += ", ";
        message.append("`").append(names[i]).append("`");
    }
    return message;
}

std::string invalid_length(std::size_t got, std::string_view name, std::size_t expected) {
    return "invalid length " + std::to_string(got) + ", expected struct " + std::string(name) + " with " +
           std::to_string(expected) + " elements";
}

}  // namespace quorvel_bo::core::json
