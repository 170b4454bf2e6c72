// Memory for decoded JSON trees: one arena per decoded manifest, its blocks kept by the process
// between decodes.
#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>
#include <vector>

namespace tamrel::model {

// A bump allocator for the strings, arrays and objects of one decoded tree. A tree is thousands
// of small blocks freed together; taken from the general heap they are handed back to the system
// when the tree dies and faulted in afresh by the next decode, about a third of the decoding
// time of a large manifest. Blocks come from a bounded process-wide cache instead and go back
// to it when the arena dies.
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

// Keeps alive the arenas that a record's JSON trees point into. A copied tree is allocated from
// the general heap, or, assigned over an existing tree, from that tree's own arena; so copies
// need nothing. A moved tree keeps its storage where it was: a record that has had trees moved
// in must keep the arena they came from, besides its own, and a record moved from keeps its
// arena for whatever it is given next.
class TreeMemory {
 public:
  TreeMemory() = default;
  explicit TreeMemory(std::shared_ptr<TreeArena> arena);
  TreeMemory(const TreeMemory&) noexcept {}
  TreeMemory(TreeMemory&& other) noexcept : held_(other.held_) {}
  TreeMemory& operator=(const TreeMemory&) noexcept { return *this; }
  TreeMemory& operator=(TreeMemory&& other);
  ~TreeMemory() = default;

 private:
  // An arena, or the two sets of arenas an assignment joined. Immutable once made, so sharing
  // one between records is free of races.
  struct Held {
    std::shared_ptr<TreeArena> arena;
    std::shared_ptr<const Held> also[2];
  };
  std::shared_ptr<const Held> held_;
};

}  // namespace tamrel::model
