#include "vel/block_pool.hpp"

#include <atomic>
#include <cstdint>
#include <new>

// The sanitizer build sees each block as the general allocator's would be seen: what lies
// outside a block taken, a gap after each included, cannot be touched.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VEL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
constexpr std::size_t kGap = 16;
#else
#define VEL_POISON(p, n) ((void)(p), (void)(n))
#define VEL_UNPOISON(p, n) ((void)(p), (void)(n))
constexpr std::size_t kGap = 0;
#endif

namespace vel::blocks {

namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

// A chunk begins with its header; a block's chunk is found by rounding its address down.
// `live` counts the blocks not yet given back, and one more while a thread carves from
// the chunk: whoever brings it to zero frees the chunk. Blocks may be given back on
// another thread than the one that took them.
struct alignas(kAlignment) Chunk {
  std::atomic<std::size_t> live{1};
  char* next = nullptr;

  char* first() { return reinterpret_cast<char*>(this) + sizeof(Chunk); }
  char* end() { return reinterpret_cast<char*>(this) + kChunkBytes; }
};

Chunk* new_chunk() {
  void* memory = ::operator new (kChunkBytes, std::align_val_t{kChunkBytes});
  Chunk* chunk = ::new (memory) Chunk;
  chunk->next = chunk->first();
  VEL_POISON(chunk->first(), static_cast<std::size_t>(chunk->end() - chunk->first()));
  return chunk;
}

void drop(Chunk* chunk) noexcept {
  if (chunk->live.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  VEL_UNPOISON(chunk->first(), static_cast<std::size_t>(chunk->end() - chunk->first()));
  chunk->~Chunk();
  ::operator delete (static_cast<void*>(chunk), std::align_val_t{kChunkBytes});
}

// The chunk that this thread carves from.
struct Carving {
  Chunk* chunk = nullptr;
  ~Carving() {
    if (chunk) drop(chunk);
  }
};
thread_local Carving carving;

// A chunk with room for `bytes`: the present one, emptied if all its blocks are back, or
// a new one.
Chunk* room_for(std::size_t bytes) {
  Chunk* chunk = carving.chunk;
  if (chunk && static_cast<std::size_t>(chunk->end() - chunk->next) >= bytes) return chunk;
  if (chunk && chunk->live.load(std::memory_order_acquire) == 1) {
    chunk->next = chunk->first();  // nothing carved from it is in use any more
    return chunk;
  }
  Chunk* fresh = new_chunk();
  if (chunk) drop(chunk);
  carving.chunk = fresh;
  return fresh;
}

constexpr std::size_t rounded(std::size_t bytes) {
  return (bytes + kAlignment - 1) / kAlignment * kAlignment + kGap;
}

Chunk* chunk_of(void* block) {
  return reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(block) &
                                  ~(std::uintptr_t{kChunkBytes} - 1));
}

}  // namespace

static_assert(rounded(kLargestPooled) <= kChunkBytes - sizeof(Chunk));

void* take(std::size_t bytes) {
  if (bytes > kLargestPooled) return ::operator new (bytes, std::align_val_t{kAlignment});
  const std::size_t size = rounded(bytes);
  Chunk* chunk = room_for(size);
  char* block = chunk->next;
  chunk->next += size;
  chunk->live.fetch_add(1, std::memory_order_relaxed);
  VEL_UNPOISON(block, bytes);
  return block;
}

void give(void* block, std::size_t bytes) noexcept {
  if (bytes > kLargestPooled) {
    ::operator delete (block, std::align_val_t{kAlignment});
    return;
  }
  VEL_POISON(block, rounded(bytes));
  drop(chunk_of(block));
}

}  // namespace vel::blocks
