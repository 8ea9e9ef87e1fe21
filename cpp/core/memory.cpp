// Large-page hints for large buffers (Linux transparent huge pages; nothing elsewhere).
#include "core/memory.hpp"

#include <cstdint>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvel_bo::core::memory {

void prefer_large_pages(void* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size < kLargeBuffer) return;
    // Only whole 2 MiB pages inside the buffer can be large pages.
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
    if (first < last) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

// Plain new where its alignment is enough: the aligned form takes a slower path in the allocator.
void* LargePageResource::do_allocate(std::size_t bytes, std::size_t alignment) {
    void* p = alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ ? ::operator new(bytes)
                                                            : ::operator new(bytes, std::align_val_t{alignment});
    prefer_large_pages(p, bytes);
    return p;
}

void LargePageResource::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
    if (alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__)
        ::operator delete(p, bytes);
    else
        ::operator delete(p, bytes, std::align_val_t{alignment});
}

}  // namespace quorvel_bo::core::memory
