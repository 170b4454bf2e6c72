// Text helpers shared by every layer: lossy UTF-8 display of paths and bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tamrel {

// The bytes as UTF-8 text, every ill-formed sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path written as text for messages: its native bytes, lossy UTF-8.
inline std::string path_display(const std::filesystem::path& path) {
  return utf8_lossy(path.native());
}

// Appends the code point as UTF-8 (surrogates, too, in their three-byte form).
void append_utf8(std::string& out, std::uint32_t cp);

// True when the bytes are well-formed UTF-8 (no surrogates, no overlong forms).
bool is_valid_utf8(std::string_view bytes);

}  // namespace tamrel
