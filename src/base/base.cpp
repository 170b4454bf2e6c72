#include <locale.h>
#include <string.h>

#include <algorithm>
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

std::string ManifestError::text() const { return fmt::format("{}", *this); }

void panic(std::string_view message) { throw Panic{std::string(message)}; }

}  // namespace tamrel

fmt::format_context::iterator fmt::formatter<tamrel::ManifestError>::format(
    const tamrel::ManifestError& error, format_context& ctx) const {
  using Variant = tamrel::ManifestError::Variant;
  switch (error.variant) {
    case Variant::Json:
      if (error.line == 0) break;
      return fmt::format_to(ctx.out(), "{} at line {} column {}", error.message, error.line,
                            error.column);
    case Variant::Context: return fmt::format_to(ctx.out(), "{}: {}", error.code, error.message);
    case Variant::Io:
    case Variant::Invalid: break;
  }
  return std::copy(error.message.begin(), error.message.end(), ctx.out());
}
