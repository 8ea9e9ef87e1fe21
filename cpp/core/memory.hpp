// Large buffers: the kernel may back them with 2 MiB pages, so filling a fresh buffer of many
// megabytes takes a few hundred page faults instead of tens of thousands.
#pragma once

#include <cstddef>
#include <memory_resource>

namespace quorvel_bo::core::memory {

// Buffers from this size on ask for large pages.
inline constexpr std::size_t kLargeBuffer = std::size_t{4} << 20;

// Asks that the untouched pages of `data` be backed by large pages where the system allows it; a
// hint only, without effect on small buffers or where large pages are not offered.
void prefer_large_pages(void* data, std::size_t size) noexcept;

// The upstream of an arena: the default resource, with large pages asked for large blocks.
class LargePageResource final : public std::pmr::memory_resource {
private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

}  // namespace quorvel_bo::core::memory
