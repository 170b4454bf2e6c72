// The worker and the caller share a ring of blocks: the worker fills and hashes them in file
// order while the caller holds at most one, so the two never touch the same bytes at once.
#include "io/hashed_blocks.hpp"

#include <cerrno>
#include <system_error>

#include "base/fd.hpp"
#include "io/digest.hpp"

namespace tamrel::io {

std::unique_ptr<HashedBlockReader> HashedBlockReader::start(int fd) {
  std::unique_ptr<HashedBlockReader> reader(new HashedBlockReader(fd));
  try {
    reader->worker_ = std::thread([r = reader.get()] { r->run(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return reader;
}

HashedBlockReader::HashedBlockReader(int fd) : fd_(fd) {
  for (auto& block : blocks_) block.reset(new char[BLOCK_BYTES]);
}

HashedBlockReader::~HashedBlockReader() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  freed_cv_.notify_one();
  if (worker_.joinable()) worker_.join();
}

Result<std::string_view> HashedBlockReader::next() {
  std::unique_lock lock(mutex_);
  if (returned_ != taken_) {
    returned_ = taken_;
    freed_cv_.notify_one();
  }
  filled_cv_.wait(lock, [&] { return filled_ > taken_; });
  const std::size_t slot = taken_++ % BLOCKS;
  if (sizes_[slot] == 0) {
    if (thrown_) std::rethrow_exception(thrown_);
    if (error_) return *error_;
  }
  return std::string_view(blocks_[slot].get(), sizes_[slot]);
}

// Whatever ends the worker is published as a last, empty block, so the caller never waits for
// a worker that has gone.
void HashedBlockReader::run() {
  try {
    read_and_hash();
  } catch (...) {
    const std::lock_guard lock(mutex_);
    thrown_ = std::current_exception();
    sizes_[filled_ % BLOCKS] = 0;
    ++filled_;
  }
  filled_cv_.notify_one();
}

void HashedBlockReader::read_and_hash() {
  Sha256 hash;
  for (std::uint64_t n = 0;; ++n) {
    {
      std::unique_lock lock(mutex_);
      freed_cv_.wait(lock, [&] { return stop_ || n - returned_ < BLOCKS; });
      if (stop_) return;
    }
    char* block = blocks_[n % BLOCKS].get();
    std::size_t size = 0;
    std::optional<ManifestError> error;
    while (size < BLOCK_BYTES) {
      const long got = read_some(fd_, block + size, BLOCK_BYTES - size);
      if (got < 0) {
        error = ManifestError::from_errno(errno);
        size = 0;
        break;
      }
      if (got == 0) break;
      size += static_cast<std::size_t>(got);
    }
    hash.update(block, size);
    std::string digest = size == 0 && !error ? hash.finish_hex() : std::string();
    {
      const std::lock_guard lock(mutex_);
      sizes_[n % BLOCKS] = size;
      if (size == 0) {
        error_ = std::move(error);
        digest_ = std::move(digest);
      }
      ++filled_;
    }
    filled_cv_.notify_one();
    if (size == 0) return;
  }
}

}  // namespace tamrel::io
