#include "io/digest.hpp"

#include <cerrno>
#include <limits>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "base/panic.hpp"
#include "base/text.hpp"
#include "io/messages.hpp"

namespace tamrel::io {

namespace {

// The library is linked into the module, so the host's openssl.cnf (written for whatever
// OpenSSL the system has, perhaps naming provider modules built for it) is not read.
bool init_crypto() { return OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1; }

// The algorithm fetched from its provider once: a digest started from EVP_sha256() looks it up
// again every time, which costs a small file more than hashing it (0.49 against 0.17 us).
const EVP_MD* sha256_algorithm() {
  static const bool initialised = init_crypto();
  if (!initialised) panic("OpenSSL initialisation failed");
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  if (md == nullptr) panic("SHA-256 is not available");
  return md;
}

// A refusal of the bounded read: the caller's code, the message naming the file by its label.
ManifestError limit_failure(const Message<std::string_view, std::uint64_t, std::string_view>& text,
                            std::string_view code, std::string_view label, std::uint64_t limit,
                            const std::filesystem::path& path) {
  return ManifestError::context(std::string(code), text(label, limit, path_display(path)));
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  const EVP_MD* md = sha256_algorithm();
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, md, nullptr) != 1) {
    panic("SHA-256 initialisation failed");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

Sha256::Sha256(Sha256&& other) noexcept : ctx_(std::exchange(other.ctx_, nullptr)) {}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
  if (this != &other) {
    EVP_MD_CTX_free(ctx_);
    ctx_ = std::exchange(other.ctx_, nullptr);
  }
  return *this;
}

void Sha256::update(const void* data, std::size_t len) {
  if (len != 0 && EVP_DigestUpdate(ctx_, data, len) != 1) panic("SHA-256 update failed");
}

std::string Sha256::finish_hex() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (EVP_DigestFinal_ex(ctx_, md, &md_len) != 1 || md_len != 32) panic("SHA-256 final failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(64, '0');
  for (unsigned i = 0; i < 32; ++i) {
    out[2 * i] = kHex[md[i] >> 4];
    out[2 * i + 1] = kHex[md[i] & 0x0F];
  }
  return out;
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish_hex();
}

Result<FileDigest> digest_fd(int fd) {
  // One heap buffer: 64 KiB is too large for the stack of a worker called from any thread.
  std::unique_ptr<unsigned char[]> buf(new unsigned char[DIGEST_CHUNK_BYTES]);
  Sha256 h;
  std::uint64_t total = 0;
  for (;;) {
    const long n = read_some(fd, buf.get(), DIGEST_CHUNK_BYTES);
    if (n < 0) return ManifestError::from_errno(errno);
    if (n == 0) break;
    h.update(buf.get(), static_cast<std::size_t>(n));
    total += static_cast<std::uint64_t>(n);
  }
  return FileDigest{h.finish_hex(), total};
}

Result<FileDigest> digest_file(const std::filesystem::path& path, Origin origin) {
  TAMREL_TRY(UniqueFd fd, open_for_read(path, origin));
  return digest_fd(fd.get());
}

Result<std::string> bounded_read(const std::filesystem::path& path, std::uint64_t limit,
                                 std::string_view code, std::string_view label, Origin origin) {
  TAMREL_TRY(UniqueFd fd, open_for_read(path, origin));
  return bounded_read_fd(fd.get(), path, limit, code, label);
}

Result<std::string> bounded_read_fd(int fd, const std::filesystem::path& path, std::uint64_t limit,
                                    std::string_view code, std::string_view label) {
  if (limit == std::numeric_limits<std::uint64_t>::max()) {
    return limit_failure(messages::limit_unenforceable, code, label, limit, path);
  }
  // Grows with what arrives (never sized from the limit or the file), at most limit + 1 bytes.
  const std::uint64_t cap = limit + 1;
  std::string data;
  std::size_t chunk = 8192;
  for (;;) {
    const std::uint64_t want64 = std::min<std::uint64_t>(chunk, cap - data.size());
    if (want64 == 0) break;
    const std::size_t want = static_cast<std::size_t>(want64);
    const std::size_t old = data.size();
    data.resize(old + want);
    const long n = read_some(fd, data.data() + old, want);
    if (n < 0) return ManifestError::from_errno(errno);
    data.resize(old + static_cast<std::size_t>(n));
    if (n == 0) break;
    if (data.size() >= chunk && chunk < (std::size_t{1} << 24)) chunk *= 2;
  }
  if (data.size() > limit) {
    return limit_failure(messages::file_over_limit, code, label, limit, path);
  }
  return data;
}

Result<FileDigest> bounded_read_digest(int fd, const std::filesystem::path& path,
                                       std::uint64_t limit, std::string_view code,
                                       std::string_view label) {
  // The same decisions as bounded_read (at most limit + 1 bytes read, judged by what arrived),
  // but hashed as the bytes arrive, so memory stays one buffer whatever the limit.
  if (limit == std::numeric_limits<std::uint64_t>::max()) {
    return limit_failure(messages::limit_unenforceable, code, label, limit, path);
  }
  std::unique_ptr<unsigned char[]> buf(new unsigned char[DIGEST_CHUNK_BYTES]);
  Sha256 h;
  const std::uint64_t cap = limit + 1;
  std::uint64_t total = 0;
  while (total < cap) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(DIGEST_CHUNK_BYTES, cap - total));
    const long n = read_some(fd, buf.get(), want);
    if (n < 0) return ManifestError::from_errno(errno);
    if (n == 0) break;
    h.update(buf.get(), static_cast<std::size_t>(n));
    total += static_cast<std::uint64_t>(n);
  }
  if (total > limit) {
    return limit_failure(messages::file_over_limit, code, label, limit, path);
  }
  return FileDigest{h.finish_hex(), total};
}

}  // namespace tamrel::io
