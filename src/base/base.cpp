#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "base/panic.hpp"
#include "base/result.hpp"

namespace tamrel {

std::string os_error_text(int err) {
  // strerrordesc_np is the thread-safe form of strerror (no shared buffer).
  const char* text = strerrordesc_np(err);
  if (text == nullptr) return fmt::format("Unknown error {}", err);
  return text;
}

ManifestError ManifestError::from_errno(int err) {
  IoKind kind = IoKind::Other;
  switch (err) {
    case ENOENT: kind = IoKind::NotFound; break;
    case EACCES:
    case EPERM: kind = IoKind::PermissionDenied; break;
    case EINTR: kind = IoKind::Interrupted; break;
    case EPIPE: kind = IoKind::BrokenPipe; break;
    default: break;
  }
  return io(kind, os_error_text(err), err);
}

std::string ManifestError::text() const {
  switch (variant) {
    case Variant::Json:
      if (line != 0) return fmt::format("{} at line {} column {}", message, line, column);
      return message;
    case Variant::Context:
      return fmt::format("{}: {}", code, message);
    case Variant::Io:
    case Variant::Invalid:
      break;
  }
  return message;
}

void panic(std::string_view message) { throw Panic{std::string(message)}; }

}  // namespace tamrel
