// Entry points described by one table each. A table lists the parameters in declaration order
// with the member of the call's record that receives each one; the member's type is the
// parameter's kind, and the kind decides everything else: positional or keyword-only, the
// default, the conversion, and the signature line that help() and inspect read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/limits.hpp"
#include "base/result.hpp"
#include "lib/args.hpp"
#include "lib/bridge.hpp"
#include "lib/pyref.hpp"

namespace tamrel::lib {

// A password: a str, kept only as long as the call and wiped when it goes.
struct Password {
  std::string text;
  bool given = false;

  Password() = default;
  Password(const Password&) = delete;
  Password& operator=(const Password&) = delete;
  ~Password() { wipe(); }
  void wipe() {
    volatile char* p = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
    text.clear();
  }
  // The text, or null when none was given.
  [[nodiscard]] const std::string* get() const { return given ? &text : nullptr; }
};

// The kinds, by the type of the member that receives the value:
//   path, str        positional-or-keyword; required, or with the default the row gives
//                    (str only)
//   path list        required and positional-or-keyword: an iterable of paths (a lone path is
//                    taken as a list of one)
//   optional path    keyword-only, default None
//   optional path list  keyword-only, default None
//   bool             keyword-only, default False (None is refused)
//   integer          keyword-only, the default the row gives (None also means it); an int, not
//                    a bool; a negative one is a ValueError
//   optional integer keyword-only, default None; otherwise as integer
//   Password         keyword-only, default None; a str
//   optional str     keyword-only, default None; a str
//   PyObject*        keyword-only, default None; the object is held as given (None as null)
//                    and read later, with the lock still held
template <class Call>
using Target = std::variant<std::filesystem::path Call::*, std::string Call::*,
                            std::optional<std::filesystem::path> Call::*, bool Call::*,
                            PyObject * Call::*, std::vector<std::filesystem::path> Call::*,
                            std::optional<std::vector<std::filesystem::path>> Call::*,
                            std::uint64_t Call::*, std::optional<std::uint64_t> Call::*,
                            Password Call::*, std::optional<std::string> Call::*>;

template <class Call>
struct Param {
  const char* name;
  Target<Call> target;
  // The default as the signature line shows it (a str's default also names it optional);
  // integers need one.
  const char* shown_default = nullptr;

  [[nodiscard]] constexpr bool positional() const {
    return std::holds_alternative<std::filesystem::path Call::*>(target) ||
           std::holds_alternative<std::string Call::*>(target) ||
           std::holds_alternative<std::vector<std::filesystem::path> Call::*>(target);
  }
  [[nodiscard]] constexpr bool required() const { return positional() && shown_default == nullptr; }
  [[nodiscard]] constexpr std::string_view default_text() const {
    if (shown_default != nullptr) return shown_default;
    return positional() ? "" : std::holds_alternative<bool Call::*>(target) ? "False" : "None";
  }
};

template <class Call, std::size_t N>
struct Entry {
  using CallType = Call;
  const char* function;
  std::array<Param<Call>, N> params;       // the function's own, positional ones first
  ResourceLimits Call::*limits = nullptr;  // then the ten limits (default None), if it takes them
};

// A signature line ("f(a, *, b=None)\n--\n\n"): CPython shows it as __text_signature__ and
// leaves __doc__ None.
struct SignatureDoc {
  char text[1024]{};
};

namespace detail {

template <const auto& E>
constexpr std::size_t parameter_count() {
  return E.params.size() + (E.limits != nullptr ? LIMIT_COUNT : 0);
}

template <const auto& E>
constexpr std::array<const char*, parameter_count<E>()> parameter_names() {
  std::array<const char*, parameter_count<E>()> names{};
  std::size_t n = 0;
  for (const auto& p : E.params) names[n++] = p.name;
  if (E.limits != nullptr) {
    for (const Limit& limit : LIMITS) names[n++] = limit.keyword;
  }
  return names;
}

template <const auto& E>
constexpr std::size_t positional_count() {
  std::size_t n = 0;
  while (n < E.params.size() && E.params[n].positional()) ++n;
  for (std::size_t i = n; i < E.params.size(); ++i) {
    if (E.params[i].positional()) throw "a positional parameter follows a keyword-only one";
  }
  return n;
}

template <const auto& E>
constexpr std::size_t required_count() {
  std::size_t n = 0;
  while (n < E.params.size() && E.params[n].required()) ++n;
  for (std::size_t i = n; i < E.params.size(); ++i) {
    if (E.params[i].required()) throw "a required parameter follows one with a default";
  }
  return n;
}

template <const auto& E>
constexpr SignatureDoc signature_doc() {
  SignatureDoc doc;
  std::size_t n = 0;
  const auto put = [&](std::string_view part) {
    for (const char c : part) doc.text[n++] = c;  // past the end: not a constant expression
  };
  put(E.function);
  put("(");
  const auto names = parameter_names<E>();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) put(", ");
    if (i == positional_count<E>()) put("*, ");
    put(names[i]);
    if (i >= E.params.size()) {
      put("=None");
    } else if (const std::string_view d = E.params[i].default_text(); !d.empty()) {
      put("=");
      put(d);
    }
  }
  put(")\n--\n\n");
  return doc;
}

}  // namespace detail

// What the table determines, computed once at compile time.
template <const auto& E>
struct Derived {
  static constexpr auto names = detail::parameter_names<E>();
  static constexpr Signature signature{E.function, names, detail::positional_count<E>(),
                                       detail::required_count<E>()};
  static constexpr SignatureDoc doc = detail::signature_doc<E>();
};

// Converts one given (or absent: null) argument into its member. False with the exception set.
template <class Call>
bool convert_param(const Param<Call>& param, PyObject* obj, Call& call) {
  return std::visit(
      [&](auto member) -> bool {
        auto& out = call.*member;
        using T = std::remove_reference_t<decltype(out)>;
        if constexpr (std::is_same_v<T, std::filesystem::path>) {
          return convert_path(obj, out);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return obj == nullptr || convert_str(obj, out);
        } else if constexpr (std::is_same_v<T, std::optional<std::filesystem::path>>) {
          if (obj == nullptr || obj == Py_None) return true;
          std::filesystem::path path;
          if (!convert_path(obj, path)) return false;
          out = std::move(path);
          return true;
        } else if constexpr (std::is_same_v<T, bool>) {
          return obj == nullptr || convert_bool(obj, out);
        } else if constexpr (std::is_same_v<T, std::vector<std::filesystem::path>>) {
          return convert_path_list(obj, out);
        } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::filesystem::path>>>) {
          if (obj == nullptr || obj == Py_None) return true;
          std::vector<std::filesystem::path> paths;
          if (!convert_path_list(obj, paths)) return false;
          out = std::move(paths);
          return true;
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          return obj == nullptr || obj == Py_None || convert_count(obj, param.name, out);
        } else if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>) {
          if (obj == nullptr || obj == Py_None) return true;
          std::uint64_t v = 0;
          if (!convert_count(obj, param.name, v)) return false;
          out = v;
          return true;
        } else if constexpr (std::is_same_v<T, Password>) {
          if (obj == nullptr || obj == Py_None) return true;
          out.given = true;
          return convert_str(obj, out.text);
        } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
          if (obj == nullptr || obj == Py_None) return true;
          std::string text;
          if (!convert_str(obj, text)) return false;
          out = std::move(text);
          return true;
        } else {
          out = obj == Py_None ? nullptr : obj;  // borrowed from the call's arguments
          return true;
        }
      },
      param.target);
}

// Matches the arguments against the table and converts them in declaration order; the first
// failure ends it, with the note naming the parameter. False with the exception set.
template <const auto& E>
bool convert_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       typename std::remove_cvref_t<decltype(E)>::CallType& call) {
  std::vector<PyObject*> slots;
  if (!match_arguments(Derived<E>::signature, args, nargs, kwnames, slots)) return false;
  for (std::size_t i = 0; i < E.params.size(); ++i) {
    if (!convert_param(E.params[i], slots[i], call)) {
      add_processing_note(E.params[i].name);
      return false;
    }
  }
  return E.limits == nullptr || convert_limits(slots, E.params.size(), call.*E.limits);
}

// Runs the worker with the interpreter lock released; the lock is held again on return, also
// when a panic unwinds.
template <class Worker>
Result<std::string> without_lock(Worker&& worker) {
  ReleasedLock unlocked;
  return worker();
}

// A worker's JSON text, or its failure raised. The lock is held.
inline PyObject* finish(const Result<std::string>& result) {
  if (!result.ok()) return raise_manifest_error(result.error());
  return json_to_python(*result);
}

// A worker's value written as JSON text, or its failure passed on.
template <class T, class Write>
Result<std::string> to_json(Result<T>&& result, Write&& write) {
  if (!result.ok()) return std::move(result).error();
  return write(*result);
}

// The function CPython calls (fast call with keywords): convert from the table, then run with
// the call's record. Nothing C++ escapes into CPython.
template <const auto& E, auto Run>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    typename std::remove_cvref_t<decltype(E)>::CallType call;
    if (!convert_arguments<E>(args, nargs, kwnames, call)) return nullptr;
    return Run(call);
  });
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The same for a function without parameters (no arguments are accepted, so none to match).
template <const auto& E, auto Run>
PyObject* noargs(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    typename std::remove_cvref_t<decltype(E)>::CallType call;
    return Run(call);
  });
}

// The method table's row for an entry point.
template <const auto& E, auto Run>
PyMethodDef method() {
  if constexpr (detail::parameter_count<E>() == 0) {
    return {E.function, noargs<E, Run>, METH_NOARGS, Derived<E>::doc.text};
  } else {
    return {E.function, as_cfunction(fastcall<E, Run>), METH_FASTCALL | METH_KEYWORDS,
            Derived<E>::doc.text};
  }
}

}  // namespace tamrel::lib
