// SHA-256 (OpenSSL EVP), the streaming file digest, and the bounded read with and without digest.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "io/file.hpp"

struct evp_md_ctx_st;

namespace tamrel::io {

// An incremental SHA-256. Failures of the library are internal failures (they cannot happen
// for SHA-256 short of memory exhaustion).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, std::size_t len);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  // The digest as 64 lowercase hex characters; the object is then spent.
  std::string finish_hex();

 private:
  evp_md_ctx_st* ctx_;
};

std::string sha256_hex(std::string_view bytes);

// Lowercase hexadecimal digest text and the number of bytes it covers.
struct FileDigest {
  std::string sha256;
  std::uint64_t size_bytes = 0;
};

inline constexpr std::size_t DIGEST_CHUNK_BYTES = 65536;

// Streams the whole file through SHA-256 in 64 KiB reads. Errors: Io.
Result<FileDigest> digest_file(const std::filesystem::path& path, Origin origin);
Result<FileDigest> digest_fd(int fd);

// Reads the whole file, refusing to hold more than limit bytes. Errors: Io; Context(code, ...)
// when the file is longer than limit or the limit is 2^64-1.
Result<std::string> bounded_read(const std::filesystem::path& path, std::uint64_t limit,
                                 std::string_view code, std::string_view label, Origin origin);

// The bounded read over a file already open for reading from its start (the same decisions,
// bytes kept); path names the file in messages.
Result<std::string> bounded_read_fd(int fd, const std::filesystem::path& path, std::uint64_t limit,
                                    std::string_view code, std::string_view label);

// The bounded read over a file already open for reading from its start, the bytes hashed as they
// arrive instead of kept; path names the file in messages.
Result<FileDigest> bounded_read_digest(int fd, const std::filesystem::path& path,
                                       std::uint64_t limit, std::string_view code,
                                       std::string_view label);

}  // namespace tamrel::io
