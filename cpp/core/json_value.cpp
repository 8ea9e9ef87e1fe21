// JSON values: lookup by key and the search for a repeated key.
#include "core/json_value.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

namespace quorvel_bo::core::json {

const Value* Value::find(std::string_view key) const noexcept {
    for (const Member& m : members())
        if (m.key == key) return &m.value;
    return nullptr;
}

const Member* first_repeated_key(const Value& object) {
    const std::span<const Member> members = object.members();
    // An envelope has a handful of keys: comparing each with those before it is cheapest.
    constexpr std::size_t kPairwise = 16;
    if (members.size() <= kPairwise) {
        for (std::size_t i = 1; i < members.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (members[j].key == members[i].key) return &members[i];
        return nullptr;
    }
    // Many keys: sorted stably, each repeat follows the earlier members of its key.
    std::vector<std::size_t> order(members.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return members[a].key < members[b].key; });
    std::size_t first = members.size();
    for (std::size_t k = 1; k < order.size(); ++k)
        if (members[order[k]].key == members[order[k - 1]].key) first = std::min(first, order[k]);
    return first == members.size() ? nullptr : &members[first];
}

}  // namespace quorvel_bo::core::json
