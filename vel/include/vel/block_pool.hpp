// The small blocks of records (the texts past seven bytes and the lists past their inside
// room), carved one after the other from chunks of 64 KiB instead of one allocation each.
//
// A module's records are made together and freed together, so a chunk is handed back
// whole once every block carved from it is freed: taking a block is a step of a pointer,
// and giving it back a step of a count, with none of the general allocator's sorting of
// freed memory. Larger blocks come from the general allocator.
#pragma once

#include <cstddef>

namespace vel::blocks {

inline constexpr std::size_t kLargestPooled = 1024;
inline constexpr std::size_t kAlignment = 16;

// A block of `bytes`, aligned to kAlignment; `give` takes it back with the same size.
void* take(std::size_t bytes);
void give(void* block, std::size_t bytes) noexcept;

}  // namespace vel::blocks
