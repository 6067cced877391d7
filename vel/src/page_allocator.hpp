// The memory of lists that may grow to hundreds of megabytes, as the flattener's do: taken
// from the system in pages, so that all of it goes back when the list does (the allocator
// would keep lists of up to 32 MiB in its heap once one has been freed, and a process that
// flattens again and again, or is interrupted while it does, would hold them), and in huge
// pages where the system offers them (far fewer faults on first touch, fewer pages to
// unmap). (The road of bench_flatten's BM_FlattenJson/10000: 306 ms from the allocator,
// 256 ms in pages.)
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include <sys/mman.h>

namespace vel {

template <class T>
struct PageAllocator {
  using value_type = T;
  // Smaller lists come from the allocator as usual.
  static constexpr std::size_t kPaged = std::size_t{1} << 20;

  PageAllocator() = default;
  template <class U>
  PageAllocator(const PageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (!paged(bytes)) return static_cast<T*>(::operator new(bytes));
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (!paged(bytes))
      ::operator delete(p);
    else
      munmap(p, bytes);
  }

  template <class U>
  bool operator==(const PageAllocator<U>&) const noexcept {
    return true;
  }

 private:
  // The sanitizer build watches every list as the allocator gives it.
  static bool paged(std::size_t bytes) {
#if defined(__SANITIZE_ADDRESS__)
    (void)bytes;
    return false;
#else
    return bytes >= kPaged;
#endif
  }
};

template <class T>
using PagedList = std::vector<T, PageAllocator<T>>;

}  // namespace vel
