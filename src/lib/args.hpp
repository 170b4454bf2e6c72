// Argument matching (fast-call convention) and the conversions of every parameter kind.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/limits.hpp"
#include "lib/pyref.hpp"

namespace tamrel::lib {

struct Signature {
  const char* function;                 // "create_manifest"
  std::span<const char* const> params;  // declaration order
  std::size_t positional;               // leading positional-or-keyword parameters
  std::size_t required;                 // leading required parameters (all positional)
};

// Matches args/kwnames against the signature into slots (borrowed, null when not given).
// False with TypeError set on a mismatch.
bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::vector<PyObject*>& slots);

// Conversions. Each returns false with the exception set; the caller adds the note.
bool convert_path(PyObject* obj, std::filesystem::path& out);
bool convert_str(PyObject* obj, std::string& out);
bool convert_bool(PyObject* obj, bool& out);
bool convert_limit(PyObject* obj, std::uint64_t& out);  // obj not None
// An int that is not a bool (TypeError), at least 0 (ValueError naming the parameter), at most
// 2^64-1 (OverflowError). obj not None.
bool convert_count(PyObject* obj, const char* name, std::uint64_t& out);
// An iterable of paths; a lone str or os.PathLike is a list of one.
bool convert_path_list(PyObject* obj, std::vector<std::filesystem::path>& out);

// Attaches "while processing '{name}'" to the pending exception (where add_note exists).
void add_processing_note(const char* name);

// A function's own parameter names followed by the limit keywords, in LIMITS order (for entry
// points whose parameters the entry table's kinds do not cover).
template <std::size_t N>
constexpr std::array<const char*, N + LIMIT_COUNT> with_limits(const char* const (&own)[N]) {
  std::array<const char*, N + LIMIT_COUNT> all{};
  for (std::size_t i = 0; i < N; ++i) all[i] = own[i];
  for (std::size_t i = 0; i < LIMIT_COUNT; ++i) all[N + i] = LIMITS[i].keyword;
  return all;
}

// Converts slots[first .. first+10) into limits (None or absent: the default).
bool convert_limits(const std::vector<PyObject*>& slots, std::size_t first, ResourceLimits& limits);

}  // namespace tamrel::lib
