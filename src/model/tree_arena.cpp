#include "model/tree_arena.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <mutex>
#include <new>

namespace tamrel::model {
namespace {

constexpr std::size_t FIRST_BLOCK = std::size_t{16} << 10;
constexpr std::size_t MAX_BUMP_BLOCK = std::size_t{1} << 20;
// From this size an allocation gets a block of its own.
constexpr std::size_t LARGE = std::size_t{64} << 10;
// Blocks are powers of two from FIRST_BLOCK; the cache keeps those up to the last class, and no
// more than CACHE_LIMIT bytes in all, whatever was decoded before.
constexpr std::size_t CLASSES = 9;  // 16 KiB .. 4 MiB
constexpr std::size_t CACHE_LIMIT = std::size_t{8} << 20;

constexpr std::size_t class_of(std::size_t size) {
  return static_cast<std::size_t>(std::countr_zero(size / FIRST_BLOCK));
}

// Bytes of the block that serves `need`: a cached class while one is large enough.
constexpr std::size_t block_size_for(std::size_t need) {
  if (need <= FIRST_BLOCK) return FIRST_BLOCK;
  if (need > (FIRST_BLOCK << (CLASSES - 1))) return need;
  return std::bit_ceil(need);
}

class BlockCache {
 public:
  std::byte* take(std::size_t size) {
    if (cached(size)) {
      const std::lock_guard lock(mu_);
      Free*& head = free_[class_of(size)];
      if (head != nullptr) {
        Free* f = head;
        head = f->next;
        bytes_ -= size;
        return reinterpret_cast<std::byte*>(f);
      }
    }
    return static_cast<std::byte*>(::operator new(size));
  }

  void give(std::byte* p, std::size_t size) noexcept {
    if (cached(size)) {
      const std::lock_guard lock(mu_);
      if (bytes_ + size <= CACHE_LIMIT) {
        // The link lives in the free block itself: giving back never allocates.
        Free*& head = free_[class_of(size)];
        head = ::new (p) Free{head};
        bytes_ += size;
        return;
      }
    }
    ::operator delete(p);
  }

 private:
  struct Free {
    Free* next;
  };
  static bool cached(std::size_t size) {
    return size >= FIRST_BLOCK && size <= (FIRST_BLOCK << (CLASSES - 1)) && std::has_single_bit(size);
  }

  std::mutex mu_;
  std::array<Free*, CLASSES> free_{};
  std::size_t bytes_ = 0;
};

// Never destroyed: an arena may die during static destruction, after a cache object would.
BlockCache& cache() {
  static BlockCache* const c = new BlockCache;
  return *c;
}

// Alignments beyond this are handed to the general heap (no JSON tree asks for one).
constexpr std::size_t MAX_ALIGN = alignof(std::max_align_t);

// Ahead of each large allocation: where its block is listed, so that freeing it takes no search.
struct alignas(MAX_ALIGN) LargeHeader {
  std::size_t index;
};

// Room for one more entry, grown geometrically: taken before the block it will list, so that
// a failure to grow leaks nothing.
template <class Vector>
void make_room(Vector& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(8, 2 * v.capacity()));
}

}  // namespace

TreeArena::~TreeArena() {
  for (const Block& b : blocks_) cache().give(b.data, b.size);
  for (const Block& b : large_) cache().give(b.data, b.size);
}

void* TreeArena::do_allocate(std::size_t bytes, std::size_t alignment) {
  if (alignment > MAX_ALIGN) return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  if (bytes >= LARGE) {
    make_room(large_);
    const std::size_t size = block_size_for(bytes + sizeof(LargeHeader));
    std::byte* p = cache().take(size);
    ::new (p) LargeHeader{large_.size()};
    large_.push_back({p, size});
    return p + sizeof(LargeHeader);
  }
  auto at = reinterpret_cast<std::uintptr_t>(cur_);
  at = (at + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
  if (cur_ == nullptr || at + bytes > reinterpret_cast<std::uintptr_t>(end_)) {
    // Each block twice the last, up to a ceiling: small trees take little, large ones few blocks.
    const std::size_t next =
        blocks_.empty() ? FIRST_BLOCK : std::min(blocks_.back().size * 2, MAX_BUMP_BLOCK);
    const std::size_t size = block_size_for(std::max(next, bytes));
    make_room(blocks_);
    std::byte* p = cache().take(size);
    blocks_.push_back({p, size});
    cur_ = p;
    end_ = p + size;
    at = reinterpret_cast<std::uintptr_t>(cur_);
  }
  std::byte* out = reinterpret_cast<std::byte*>(at);
  cur_ = out + bytes;
  return out;
}

void TreeArena::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
  if (alignment > MAX_ALIGN) {
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    return;
  }
  if (bytes < LARGE) return;  // bumped: reclaimed with the arena
  std::byte* const block = static_cast<std::byte*>(p) - sizeof(LargeHeader);
  const std::size_t i = std::launder(reinterpret_cast<LargeHeader*>(block))->index;
  cache().give(block, large_[i].size);
  if (i + 1 != large_.size()) {
    large_[i] = large_.back();
    std::launder(reinterpret_cast<LargeHeader*>(large_[i].data))->index = i;
  }
  large_.pop_back();
}

TreeMemory::TreeMemory(std::shared_ptr<TreeArena> arena) {
  if (arena) held_ = std::make_shared<const Held>(Held{std::move(arena), {}});
}

TreeMemory& TreeMemory::operator=(TreeMemory&& other) {
  if (other.held_ == nullptr || other.held_ == held_) return *this;
  if (held_ == nullptr) {
    held_ = other.held_;
    return *this;
  }
  held_ = std::make_shared<const Held>(Held{nullptr, {held_, other.held_}});  // both
  return *this;
}

}  // namespace tamrel::model
