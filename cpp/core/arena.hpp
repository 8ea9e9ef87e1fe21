// The arena of one call: every byte its values point to, released together when the call ends.
#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <utility>

#include "core/memory.hpp"

namespace quorvel_bo::core::json {

// Owns every byte a call's values point to; nothing outlives the call.
class Arena {
public:
    Arena() = default;
    // An arena for a tree whose string bytes go to `strings`, which may outlive it: what was
    // decoded from the tree may keep viewing its strings once the tree is gone.
    explicit Arena(Arena& strings) : strings_(&strings) {}
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();

    template <class T>
    T* allocate(std::size_t count) {
        return static_cast<T*>(resource_.allocate(count * sizeof(T), alignof(T)));
    }
    // A copy of `text` that lives as long as the arena.
    std::string_view copy(std::string_view text);
    // The arena as a memory resource, for containers whose storage may stay until the arena goes.
    std::pmr::memory_resource* resource() noexcept { return &resource_; }
    // Takes over `text` (no copy of its bytes) and returns a view that lives as long as the arena.
    std::string_view keep(std::string&& text);
    // Takes over `object` (moved, not copied) until the arena goes, and returns where it now lives.
    template <class T>
    T& own(T&& object) {
        return make<T>(std::move(object));
    }
    // A T made from `args` where it stays until the arena goes (never moved).
    template <class T, class... Args>
    T& make(Args&&... args) {
        auto* node = std::construct_at(allocate<Owned<T>>(1), std::forward<Args>(args)...);
        node->next = owned_;
        owned_ = node;
        return node->object;
    }
    // Where the reader puts the bytes of strings and numbers: this arena, or the one given.
    Arena& strings() noexcept { return strings_ != nullptr ? *strings_ : *this; }

private:
    struct Kept {
        std::string text;
        Kept* next;
    };
    struct OwnedBase {
        OwnedBase* next = nullptr;
        virtual ~OwnedBase() = default;
    };
    template <class T>
    struct Owned final : OwnedBase {
        template <class... Args>
        explicit Owned(Args&&... args) : object(std::forward<Args>(args)...) {}
        T object;
    };
    // Small calls never reach the heap for their values.
    static constexpr std::size_t kInlineBytes = 4096;

    Kept* kept_ = nullptr;
    OwnedBase* owned_ = nullptr;
    Arena* strings_ = nullptr;
    alignas(std::max_align_t) std::byte inline_[kInlineBytes];
    memory::LargePageResource upstream_;
    std::pmr::monotonic_buffer_resource resource_{inline_, kInlineBytes, &upstream_};
};

}  // namespace quorvel_bo::core::json
