#include "model/tree_arena.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

namespace tamrel::model {
namespace {

constexpr std::size_t FIRST_BLOCK = std::size_t{16} << 10;
constexpr std::size_t MAX_BUMP_BLOCK = std::size_t{1} << 20;
// From this size an allocation gets a block of its own.
constexpr std::size_t LARGE = std::size_t{64} << 10;

std::byte* new_block(std::size_t size) { return static_cast<std::byte*>(::operator new(size)); }

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
  for (const Block& b : blocks_) ::operator delete(b.data);
  for (const Block& b : large_) ::operator delete(b.data);
}

void* TreeArena::do_allocate(std::size_t bytes, std::size_t alignment) {
  if (alignment > MAX_ALIGN) return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  if (bytes >= LARGE) {
    make_room(large_);
    const std::size_t size = bytes + sizeof(LargeHeader);
    std::byte* p = new_block(size);
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
    const std::size_t size = std::max(next, bytes);
    make_room(blocks_);
    std::byte* p = new_block(size);
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
  ::operator delete(block);
  if (i + 1 != large_.size()) {
    large_[i] = large_.back();
    std::launder(reinterpret_cast<LargeHeader*>(large_[i].data))->index = i;
  }
  large_.pop_back();
}

}  // namespace tamrel::model
