// A message template as data, for the layers below the report (whose rows also carry a code).
#pragma once

#include <string>

#include <fmt/format.h>

namespace tamrel {

// The template is checked against Args where the row is declared, so a row and its call sites
// cannot disagree on the placeholders.
template <typename... Args>
struct Message {
  fmt::format_string<Args...> text;

  std::string operator()(const Args&... args) const {
    return fmt::vformat(fmt::string_view(text), fmt::make_format_args(args...));
  }
};

}  // namespace tamrel
