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

}  // namespace quorvel_bo::core::json
