// Memory for decoded JSON trees: one arena per decoded manifest, freed with the manifest.
#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>
#include <vector>

namespace tamrel::model {

// A bump allocator for the strings, arrays and objects of one decoded tree: a tree is thousands
// of small pieces freed together, so they are carved from a few blocks freed at once.
//
// Small allocations are bumped from the current block and reclaimed only with the arena. Large
// ones (a big array's storage) get a block each, returned as soon as they are freed, so that
// growing a large array does not pile up its old storage.
//
// One thread builds a tree; once built it is only read, and reading does not allocate.
class TreeArena final : public std::pmr::memory_resource {
 public:
  TreeArena() = default;
  TreeArena(const TreeArena&) = delete;
  TreeArena& operator=(const TreeArena&) = delete;
  ~TreeArena() override;

 private:
  struct Block {
    std::byte* data;
    std::size_t size;
  };

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
  [[nodiscard]] bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::vector<Block> blocks_;  // bump blocks, the current one last
  std::vector<Block> large_;   // one allocation each
  std::byte* cur_ = nullptr;
  std::byte* end_ = nullptr;
};

// Keeps alive the arena that a record's JSON trees point into. A copied tree is allocated from
// the general heap, or, assigned over an existing tree, from that tree's own arena; so copies
// need nothing. Moving a whole record moves its trees with their storage (a JSON object moves
// together with its resource), so the arena goes with them; the record moved from is given the
// old arena in exchange, and frees it when it dies, after the old trees it was assigned over.
class TreeMemory {
 public:
  TreeMemory() = default;
  explicit TreeMemory(std::shared_ptr<TreeArena> arena) : arena_(std::move(arena)) {}
  TreeMemory(const TreeMemory&) noexcept {}
  TreeMemory(TreeMemory&& other) noexcept : arena_(other.arena_) {}
  TreeMemory& operator=(const TreeMemory&) noexcept { return *this; }
  TreeMemory& operator=(TreeMemory&& other) noexcept {
    arena_.swap(other.arena_);
    return *this;
  }
  ~TreeMemory() = default;

  // The one arena kept alive, if any (checks that reassignment keeps no old arena).
  [[nodiscard]] const TreeArena* arena() const noexcept { return arena_.get(); }

 private:
  std::shared_ptr<TreeArena> arena_;
};

}  // namespace tamrel::model
