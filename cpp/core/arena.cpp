// The arena of one call: copies and kept strings.
#include "core/arena.hpp"

#include <cstring>
#include <memory>

namespace quorvel_bo::core::json {

Arena::~Arena() {
    for (OwnedBase* o = owned_; o != nullptr;) {
        OwnedBase* next = o->next;
        std::destroy_at(o);
        o = next;
    }
    for (Kept* k = kept_; k != nullptr;) {
        Kept* next = k->next;
        std::destroy_at(k);
        k = next;
    }
}

std::string_view Arena::keep(std::string&& text) {
    Kept* k = std::construct_at(allocate<Kept>(1), Kept{std::move(text), kept_});
    kept_ = k;
    return k->text;
}

std::string_view Arena::copy(std::string_view text) {
    if (text.empty()) return {};
    char* chars = allocate<char>(text.size());
    std::memcpy(chars, text.data(), text.size());
    return {chars, text.size()};
}

}  // namespace quorvel_bo::core::json
