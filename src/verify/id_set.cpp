// The id set's memory: the arena's growing mapping, the table's blocks, and the hash keys.
#include "verify/id_set.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "io/random.hpp"

namespace tamrel::verify {
namespace {

constexpr std::uint64_t FIRST_ARENA_BYTES = std::uint64_t{4} << 10;
constexpr std::uint64_t HEAP_ARENA_BYTES = std::uint64_t{64} << 10;
#ifdef TAMREL_TEST_HOOKS
constexpr std::size_t PAGE_BYTES = 4096;
#endif

void* new_mapping(std::size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace

IdHashKeys draw_id_hash_keys() {
  IdHashKeys keys;
  io::fill_secure_random(&keys, sizeof keys);
  return keys;
}

// No huge-page advice: on one core it bought 3-12 % for the table and 4-9 % for the arena, under
// what a piece must earn, and a huge page's first touch may wait on compaction.
void* allocate_table_block(std::size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void free_table_block(void* p) { std::free(p); }

std::uint64_t IdArena::bound_for(std::uint64_t limit) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  return limit > (MAX - 16) / 2 ? MAX : 2 * limit + 16;
}

std::uint64_t IdArena::append(std::string_view id) {
  unsigned char prefix[10];
  std::size_t prefix_bytes = 0;
  for (std::uint64_t n = id.size();; n >>= 7) {
    prefix[prefix_bytes++] = static_cast<unsigned char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
    if (n <= 0x7F) break;
  }
  const std::uint64_t need = size_ + prefix_bytes + id.size();
  if (need > capacity_) grow(need);
  const std::uint64_t offset = size_;
  std::memcpy(base_ + size_, prefix, prefix_bytes);
  if (!id.empty()) std::memcpy(base_ + size_ + prefix_bytes, id.data(), id.size());
  size_ = need;
  return offset;
}

// Doubles up to the ceiling, past it only as far as the entry needs. A small arena lives on the
// heap; a large one in a mapping of its own that the kernel grows by moving pages, not bytes,
// and where only pages written to are ever backed, whatever the capacity. The kernel moves only
// a range that is one mapping: should it have been split (advice for part of it does that),
// growing maps anew and copies.
void IdArena::grow(std::uint64_t need) {
  const std::uint64_t doubled = capacity_ == 0 ? FIRST_ARENA_BYTES : capacity_ * 2;
  const std::uint64_t target = std::max(std::min(doubled, ceiling_), need);
  if (target > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
  const auto bytes = static_cast<std::size_t>(target);
  void* p = nullptr;
  if (bytes <= HEAP_ARENA_BYTES) {
    p = std::realloc(base_, bytes);
    if (p == nullptr) throw std::bad_alloc();
  } else if (capacity_ <= HEAP_ARENA_BYTES) {
    p = new_mapping(bytes);
    if (size_ > 0) std::memcpy(p, base_, static_cast<std::size_t>(size_));
    std::free(base_);
  } else {
    p = ::mremap(base_, static_cast<std::size_t>(capacity_), bytes, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
      p = new_mapping(bytes);
      std::memcpy(p, base_, static_cast<std::size_t>(size_));
      ::munmap(base_, static_cast<std::size_t>(capacity_));
    }
  }
  base_ = static_cast<char*>(p);
  capacity_ = target;
#ifdef TAMREL_TEST_HOOKS
  // Test builds only: splits the mapping in two, so that the next growth meets a split mapping.
  if (bytes > HEAP_ARENA_BYTES && std::getenv("TAMREL_TEST_SPLIT_ARENA") != nullptr) {
    (void)::madvise(base_, PAGE_BYTES, MADV_NOHUGEPAGE);
  }
#endif
}

IdArena::~IdArena() {
  if (capacity_ <= HEAP_ARENA_BYTES) {
    std::free(base_);
  } else {
    ::munmap(base_, static_cast<std::size_t>(capacity_));
  }
}

}  // namespace tamrel::verify
