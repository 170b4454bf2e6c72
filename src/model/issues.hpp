// The one code the model raises itself: a manifest file refused by the bounded read.
#pragma once

#include <string_view>

namespace tamrel::model::issues {

// Its message is the bounded read's, naming the file "manifest file".
inline constexpr std::string_view manifest_file_too_large = "manifest_file_too_large";

}  // namespace tamrel::model::issues
