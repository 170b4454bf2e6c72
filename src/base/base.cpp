#include <locale.h>
#include <string.h>

#include <cerrno>

#include <fmt/format.h>

#include "base/panic.hpp"
#include "base/result.hpp"

namespace tamrel {

std::string os_error_text(int err) {
  // The system's English text whatever locale the process uses: the C locale for this thread
  // only, and strerror_r's own buffer instead of strerror's shared one.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  const locale_t previous = c_locale != locale_t{} ? uselocale(c_locale) : locale_t{};
  char buf[128];
  const char* text = strerror_r(err, buf, sizeof buf);  // may return a static text instead
  if (previous != locale_t{}) uselocale(previous);
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
    case Variant::Context: return fmt::format("{}: {}", code, message);
    case Variant::Io:
    case Variant::Invalid: break;
  }
  return message;
}

void panic(std::string_view message) { throw Panic{std::string(message)}; }

}  // namespace tamrel
