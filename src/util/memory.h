// The few calls on memory that depend on the operating system, each with a
// plain fallback: where the system offers no such call, the hints do nothing
// and the mappings are ordinary aligned allocations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv {

// The machine's physical memory in bytes; 4 GiB where it cannot be told.
uint64_t physical_memory_bytes();

// `bytes` (a power of two) of fresh memory aligned to its size, advised for
// huge pages unless `huge_pages` is false; contents unspecified. Throws
// bad_alloc when there is no memory. Released by unmap_aligned(p, bytes).
void* map_aligned(size_t bytes, bool huge_pages);
void unmap_aligned(void* p, size_t bytes);

// Advises that the whole 2 MiB stretches of [data, data + bytes) may be
// backed with huge pages; to be called before their first touch.
void advise_big_pages(void* data, size_t bytes);

// Maps the whole pages of [data, data + bytes) for writing in one call,
// before a run that writes them all, instead of one fault per page. A hint:
// nothing happens where the kernel does not offer it.
void prefault_pages(void* data, size_t bytes);

// Makes `v` hold `count` value-initialised elements in fresh storage advised
// and prefaulted as above: a large plane then takes one page fault per
// 2 MiB rather than one per small page.
template <typename T>
void assign_zeroed_in_big_pages(std::vector<T>& v, size_t count) {
  std::vector<T>().swap(v);
  v.reserve(count);
  advise_big_pages(v.data(), count * sizeof(T));
  prefault_pages(v.data(), count * sizeof(T));
  v.resize(count);
}

}  // namespace kv
