// The distinct db_ids of one scan: their keys in one arena that grows in place, and a flat
// table of offsets into it, hashed and compared through the arena.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <boost/unordered/unordered_flat_set.hpp>

#ifndef TAMREL_ROWSCAN_PREFETCH
#define TAMREL_ROWSCAN_PREFETCH 1
#endif

namespace tamrel::verify {

// Keys of the id hash, fresh for every scan: a row map crafted against one scan's hash cannot
// force the next scan's table into long probe chains, and no state outlives a call.
struct IdHashKeys {
  std::uint64_t seed = 0;
  std::uint64_t block = 0;
  std::uint64_t tail = 0;
};

// From the system's secure random source, one call per scan. A failing source is a panic.
IdHashKeys draw_id_hash_keys();

namespace detail {

// The full 128-bit product folded to 64 bits: one multiplication mixes 16 bytes.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load_bytes(const char* p, std::size_t n) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, n);
  return word;
}

}  // namespace detail

// A keyed multiply-fold hash over 16-byte blocks (every row's id is hashed; Boost 1.81's range
// hash mixes four bytes a step, three times the cost). Both operands of each product carry a
// secret, so no chosen block can cancel the keys. The last 0..15 bytes are read as overlapping
// 4-byte loads (or three single bytes) that together cover every byte, never past the end.
inline std::uint64_t hash_id(const IdHashKeys& keys, std::string_view key) {
  using detail::fold_multiply;
  using detail::load_bytes;
  const char* p = key.data();
  std::size_t n = key.size();
  std::uint64_t h = keys.seed;
  for (; n >= 16; p += 16, n -= 16) {
    h = fold_multiply(load_bytes(p, 8) ^ keys.block, load_bytes(p + 8, 8) ^ h);
  }
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 4) {
    const std::size_t step = (n >> 3) << 2;
    a = load_bytes(p, 4) << 32 | load_bytes(p + step, 4);
    b = load_bytes(p + n - 4, 4) << 32 | load_bytes(p + n - 4 - step, 4);
  } else if (n > 0) {
    a = std::uint64_t{static_cast<unsigned char>(p[0])} << 16 |
        std::uint64_t{static_cast<unsigned char>(p[n >> 1])} << 8 |
        static_cast<unsigned char>(p[n - 1]);
  }
  h = fold_multiply(a ^ keys.tail, b ^ h);
  return fold_multiply(h ^ keys.block, key.size() ^ keys.tail);
}

// The key of every distinct id in one block that grows in place, so an entry is named by its
// offset and a table slot needs only 4 bytes. Each id is written after its length (LEB128).
class IdArena {
 public:
  // The block never grows past ceiling bytes unless an entry needs it.
  explicit IdArena(std::uint64_t ceiling) : ceiling_(ceiling) {}
  ~IdArena();
  IdArena(const IdArena&) = delete;
  IdArena& operator=(const IdArena&) = delete;

  // Appends the entry; returns its offset.
  std::uint64_t append(std::string_view key);

  // Where the entry whose key is key ends: the next entry's offset.
  std::uint64_t end_of(std::string_view key) const {
    return static_cast<std::uint64_t>(key.data() + key.size() - base_);
  }

  std::string_view at(std::uint64_t offset) const {
    const auto* p = reinterpret_cast<const unsigned char*>(base_ + offset);
    std::uint64_t length = *p & 0x7F;
    for (unsigned shift = 7; *p++ & 0x80; shift += 7) length |= std::uint64_t{*p & 0x7Fu} << shift;
    return {reinterpret_cast<const char*>(p), static_cast<std::size_t>(length)};
  }

  // Bytes the longest arena a scan can fill may take when at most limit id bytes are kept: a
  // one-byte id takes two, and an empty id (at most one is distinct) one.
  static std::uint64_t bound_for(std::uint64_t limit);

 private:
  void grow(std::uint64_t need);

  char* base_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t ceiling_;
};

// The buffer a flat table keeps its slots and group headers in, as last allocated.
struct TableBuffer {
  const char* base = nullptr;
};

// The table's blocks; throws std::bad_alloc.
void* allocate_table_block(std::size_t bytes);
void free_table_block(void* p);

template <class T>
struct TableAllocator {
  using value_type = T;
  explicit TableAllocator(TableBuffer* latest) : latest(latest) {}
  template <class U>
  TableAllocator(const TableAllocator<U>& other) : latest(other.latest) {}  // NOLINT: rebinding
  T* allocate(std::size_t n) {
    T* p = static_cast<T*>(allocate_table_block(n * sizeof(T)));
    latest->base = reinterpret_cast<const char*>(p);
    return p;
  }
  void deallocate(T* p, std::size_t) {
    if (reinterpret_cast<const char*>(p) == latest->base) latest->base = nullptr;
    free_table_block(p);
  }
  template <class U>
  bool operator==(const TableAllocator<U>& other) const {
    return latest == other.latest;
  }

  TableBuffer* latest;
};

// Asks the cache for the group where a lookup of this hash begins, so that the probe of a line
// decoded ahead is warm when its turn comes. Boost 1.81's flat tables keep their slots, then
// their 16-byte group headers, in one buffer and start at the group named by the hash's top
// bits; only a prefetch is computed from that, so a different layout costs speed, never
// correctness. Always inlined: as a function of its own the compiler finds it free of effects
// and drops the call.
template <class Slot>
[[gnu::always_inline]] inline void prefetch_group(const TableBuffer& buffer, std::size_t capacity,
                                                  std::uint64_t hash) {
  constexpr std::size_t GROUP_SLOTS = 15;
  constexpr std::size_t GROUP_BYTES = 16;
  const std::size_t groups = (capacity + 1) / GROUP_SLOTS;
  if (buffer.base == nullptr || groups < 2 || (groups & (groups - 1)) != 0) return;
  const std::size_t group = hash >> (64 - std::countr_zero(groups));
  const std::size_t slot_bytes = sizeof(Slot) * (groups * GROUP_SLOTS - 1);
  const auto headers =
      (reinterpret_cast<std::uintptr_t>(buffer.base) + slot_bytes + GROUP_BYTES - 1) / GROUP_BYTES *
      GROUP_BYTES;
  __builtin_prefetch(reinterpret_cast<const void*>(headers + group * GROUP_BYTES));
  __builtin_prefetch(buffer.base + group * GROUP_SLOTS * sizeof(Slot));
}

// The set itself. Offset is std::uint32_t when the arena's bound fits 32 bits (every limit up
// to 2 GiB of ids), std::uint64_t beyond.
template <class Offset>
class IdSet {
 public:
  IdSet(const IdHashKeys& keys, std::uint64_t limit)
      : keys_(keys),
        arena_(IdArena::bound_for(limit)),
        table_(0, Hash{this}, Equal{this}, TableAllocator<Offset>(&buffer_)) {}
  IdSet(const IdSet&) = delete;
  IdSet& operator=(const IdSet&) = delete;

  std::uint64_t hash(std::string_view key) const { return hash_id(keys_, key); }
  [[gnu::always_inline]] void prefetch(std::uint64_t hash) const {
    if (TAMREL_ROWSCAN_PREFETCH) prefetch_group<Offset>(buffer_, table_.bucket_count(), hash);
  }
  bool contains(std::string_view key, std::uint64_t hash) const {
    return table_.contains(Probe{key, hash});
  }
  // Adds an id the set does not hold.
  void insert_new(std::string_view key, std::uint64_t hash) {
    insert_offset(static_cast<Offset>(arena_.append(key)), hash);
  }
  std::size_t size() const { return table_.size(); }
  // Room for this many ids without a rehash.
  std::size_t room() const { return table_.max_load(); }
  // Room for this many ids. A larger table is filled by walking the arena in order, hashing
  // each entry once and inserting a few behind the prefetch: a rehash through the old table
  // would read every id back from the arena at random. The old table goes first, so the two
  // are never held at once.
  void reserve(std::size_t ids) {
    if (ids <= table_.max_load()) return;
    const std::size_t count = table_.size();
    table_.clear();
    table_.rehash(0);
    table_.reserve(ids);
    struct Entry {
      Offset offset;
      std::uint64_t hash;
    };
    constexpr std::size_t AHEAD = 8;
    std::array<Entry, AHEAD> ahead{};
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < count + AHEAD; ++i) {
      Entry& entry = ahead[i % AHEAD];
      if (i >= AHEAD) insert_offset(entry.offset, entry.hash);
      if (i < count) {
        const std::string_view key = arena_.at(next);
        entry = {static_cast<Offset>(next), hash(key)};
        prefetch(entry.hash);
        next = arena_.end_of(key);
      }
    }
  }

 private:
  // The arena entry at offset, whose hash is known and whose key the table does not hold.
  void insert_offset(Offset offset, std::uint64_t hash) {
    known_ = {offset, hash, true};
    table_.insert(offset);
    known_ = {};
  }

  struct Probe {
    std::string_view key;
    std::uint64_t hash;
  };
  struct Hash {
    using is_transparent = void;
    using is_avalanching = void;  // the final product mixes every bit; the table adds none
    const IdSet* set;
    std::size_t operator()(const Probe& probe) const { return probe.hash; }
    // The table hashes a slot on insertion, where the lookup's hash is handed back, and on
    // rehashing, where the id is read from the arena.
    std::size_t operator()(Offset offset) const {
      if (set->known_.valid && offset == set->known_.offset) return set->known_.hash;
      return set->hash(set->arena_.at(offset));
    }
  };
  struct Equal {
    using is_transparent = void;
    const IdSet* set;
    // Only an entry being inserted meets the table's entries, and its key is new to them: the
    // arena holds no two equal keys.
    bool operator()(Offset a, Offset b) const { return a == b; }
    bool operator()(const Probe& a, Offset b) const { return a.key == set->arena_.at(b); }
    bool operator()(Offset a, const Probe& b) const { return set->arena_.at(a) == b.key; }
  };
  struct Known {
    Offset offset = 0;
    std::uint64_t hash = 0;
    bool valid = false;
  };

  IdHashKeys keys_;
  IdArena arena_;
  Known known_;
  TableBuffer buffer_;  // declared before the table, which reports into it
  boost::unordered_flat_set<Offset, Hash, Equal, TableAllocator<Offset>> table_;
};

}  // namespace tamrel::verify
