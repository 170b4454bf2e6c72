// A file read in order, in large blocks, by a worker thread that also hashes every block, so
// that a caller working through the blocks does not pay for the digest on its own core.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/result.hpp"

namespace tamrel::io {

class HashedBlockReader {
 public:
  // Reads fd from its current offset. Null when no thread can be started: the caller reads and
  // hashes by itself. Only for regular files, whose reads never wait on another process.
  static std::unique_ptr<HashedBlockReader> start(int fd);
  // Stops the worker and waits for it; a block being read is finished first.
  ~HashedBlockReader();
  HashedBlockReader(const HashedBlockReader&) = delete;
  HashedBlockReader& operator=(const HashedBlockReader&) = delete;

  // The next block in file order, valid until the next call; empty at the end of the file.
  // Errors: Io. A panic or std::bad_alloc on the worker is thrown here.
  Result<std::string_view> next();
  // The SHA-256 hex digest of every byte, once next() has returned the empty block.
  const std::string& digest() const { return digest_; }

 private:
  static constexpr std::size_t BLOCK_BYTES = std::size_t{256} << 10;
  static constexpr std::size_t BLOCKS = 4;

  explicit HashedBlockReader(int fd);
  void run();
  void read_and_hash();

  int fd_;
  std::array<std::unique_ptr<char[]>, BLOCKS> blocks_;
  std::array<std::size_t, BLOCKS> sizes_{};
  std::mutex mutex_;
  std::condition_variable filled_cv_;  // the worker published a block
  std::condition_variable freed_cv_;   // the caller gave a block back, or stopped
  std::uint64_t filled_ = 0;           // blocks published, the last one empty at the end
  std::uint64_t taken_ = 0;            // blocks handed to the caller
  std::uint64_t returned_ = 0;         // of those, blocks the caller is done with
  bool stop_ = false;
  std::optional<ManifestError> error_;  // a failed read; published as the last block
  std::exception_ptr thrown_;           // likewise
  std::string digest_;
  std::thread worker_;  // last: starts once everything it uses exists
};

}  // namespace tamrel::io
