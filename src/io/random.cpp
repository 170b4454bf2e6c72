#include "io/random.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "base/fd.hpp"
#include "base/panic.hpp"
#include "base/result.hpp"

namespace tamrel::io {
namespace {

// The system call itself rather than glibc's wrapper, which older C libraries lack.
ssize_t read_random(unsigned char* out, std::size_t len) {
  return ::syscall(SYS_getrandom, out, len, 0);
}

[[noreturn]] void source_failed(int err) {
  panic(fmt::format("the secure random source failed: {}", os_error_text(err)));
}

void fill_from_urandom(unsigned char* out, std::size_t len) {
  const UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) source_failed(errno);
  std::size_t got = 0;
  while (got < len) {
    const long n = read_some(fd.get(), out + got, len - got);
    if (n <= 0) source_failed(n < 0 ? errno : EIO);
    got += static_cast<std::size_t>(n);
  }
}

}  // namespace

void fill_secure_random(void* buf, std::size_t len) {
  auto* bytes = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < len) {
    const ssize_t n = read_random(bytes + got, len - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) {  // a kernel older than 3.17
        fill_from_urandom(bytes + got, len - got);
        return;
      }
      source_failed(errno);
    }
    got += static_cast<std::size_t>(n);
  }
}

}  // namespace tamrel::io
