// Entry points described by one table each. A table lists the parameters in declaration order
// with the member of the call's record that receives each one; the member's type is the
// parameter's kind, and the kind decides everything else: positional or keyword-only, the
// default, the conversion, and the signature line that help() and inspect read.
#pragma once

#include <array>
#include <cstddef>
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

// The kinds, by the type of the member that receives the value:
//   path, str        required and positional-or-keyword
//   optional path    keyword-only, default None
//   bool             keyword-only, default False (None is refused)
//   PyObject*        keyword-only, default None; the object is held as given (None as null)
//                    and read later, with the lock still held
template <class Call>
using Target =
    std::variant<std::filesystem::path Call::*, std::string Call::*,
                 std::optional<std::filesystem::path> Call::*, bool Call::*, PyObject * Call::*>;

template <class Call>
struct Param {
  const char* name;
  Target<Call> target;

  [[nodiscard]] constexpr bool positional() const {
    return std::holds_alternative<std::filesystem::path Call::*>(target) ||
           std::holds_alternative<std::string Call::*>(target);
  }
  [[nodiscard]] constexpr std::string_view default_text() const {
    return positional() ? "" : std::holds_alternative<bool Call::*>(target) ? "=False" : "=None";
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
    put(i < E.params.size() ? E.params[i].default_text() : "=None");
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
                                       detail::positional_count<E>()};
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
          return convert_str(obj, out);
        } else if constexpr (std::is_same_v<T, std::optional<std::filesystem::path>>) {
          if (obj == nullptr || obj == Py_None) return true;
          std::filesystem::path path;
          if (!convert_path(obj, path)) return false;
          out = std::move(path);
          return true;
        } else if constexpr (std::is_same_v<T, bool>) {
          return obj == nullptr || convert_bool(obj, out);
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
