// HTTP records: the JSON form of header maps.
#include "core/http.hpp"

namespace quorvel_bo::core::json {

Value Codec<Headers>::encode(const Headers& headers, Arena& arena) {
    Member* members = arena.allocate<Member>(headers.size());
    std::size_t i = 0;
    for (const auto& [name, value] : headers)
        std::construct_at(members + i++, Member{arena.copy(name), Value::string(arena.copy(value))});
    return Value::object({members, headers.size()});
}

// The map keeps its names in ascending byte order, the order the writer puts keys in.
std::size_t Codec<Headers>::text_size(const Headers& headers) {
    std::size_t size = headers.empty() ? 2 : 1 + 2 * headers.size();  // braces, colons and commas
    for (const auto& [name, value] : headers) size += written_string_size(name) + written_string_size(value);
    return size;
}

void Codec<Headers>::write(Writer& out, const Headers& headers) {
    out.raw('{');
    bool first = true;
    for (const auto& [name, value] : headers) {
        if (!first) out.raw(',');
        first = false;
        out.string(name);
        out.raw(':');
        out.string(value);
    }
    out.raw('}');
}

}  // namespace quorvel_bo::core::json
