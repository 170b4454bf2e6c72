// The bounded read's failure texts; the caller supplies the issue code and the file's label.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/message.hpp"

namespace tamrel::io::messages {

using U64 = std::uint64_t;
using Text = std::string_view;

// Each takes the label, the limit, then the path.
inline constexpr Message<Text, U64, Text> limit_unenforceable{
    "{} byte limit {} is too large to enforce while reading {}"};
inline constexpr Message<Text, U64, Text> file_over_limit{"{} exceeds {} bytes while reading {}"};

}  // namespace tamrel::io::messages
