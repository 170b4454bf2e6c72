#include "lib/args.hpp"

#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "base/text.hpp"

namespace tamrel::lib {
namespace {

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

void type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

std::string type_name(PyObject* obj) {
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  PyRef name(PyObject_GetAttrString(type.get(), "__name__"));
  if (name) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len)) return std::string(s, len);
  }
  PyErr_Clear();
  return "object";
}

void not_instance(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    type_error(fmt::format("'None' is not an instance of '{}'", expected));
  } else {
    type_error(fmt::format("'{}' object is not an instance of '{}'", type_name(obj), expected));
  }
}

// Lone surrogates cannot be UTF-8. U+DC80..U+DCFF stand for raw bytes (as os.fsencode reads
// them); any other surrogate keeps its generalized UTF-8 form.
void append_wide(std::string& out, std::uint32_t cp) {
  if (cp >= 0xDC80 && cp <= 0xDCFF) {
    out.push_back(static_cast<char>(cp - 0xDC00));
  } else {
    append_utf8(out, cp);
  }
}

}  // namespace

bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::vector<PyObject*>& slots) {
  const std::string fname = std::string(sig.function) + "()";
  slots.assign(sig.params.size(), nullptr);
  const auto npos = static_cast<std::size_t>(nargs);
  if (npos > sig.positional) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (sig.required != sig.positional) {
      type_error(fmt::format("{} takes from {} to {} positional arguments but {} {} given", fname,
                             sig.required, sig.positional, npos, verb));
    } else {
      type_error(fmt::format("{} takes {} positional arguments but {} {} given", fname,
                             sig.positional, npos, verb));
    }
    return false;
  }
  for (std::size_t i = 0; i < npos; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    Py_ssize_t len = 0;
    const char* name = key == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(key, &len);
    if (name == nullptr) return false;
    const std::string_view kw(name, static_cast<std::size_t>(len));
    std::size_t found = sig.params.size();
    for (std::size_t p = 0; p < sig.params.size(); ++p) {
      if (kw == sig.params[p]) {
        found = p;
        break;
      }
    }
    if (found == sig.params.size()) {
      type_error(fmt::format("{} got an unexpected keyword argument '{}'", fname, kw));
      return false;
    }
    if (slots[found] != nullptr) {
      type_error(fmt::format("{} got multiple values for argument '{}'", fname, kw));
      return false;
    }
    slots[found] = args[nargs + k];
  }

  std::vector<std::string> missing;
  for (std::size_t p = 0; p < sig.required; ++p) {
    if (slots[p] == nullptr) missing.emplace_back(sig.params[p]);
  }
  if (!missing.empty()) {
    type_error(fmt::format("{} missing {} required positional {}: {}", fname, missing.size(),
                           missing.size() == 1 ? "argument" : "arguments", quoted_list(missing)));
    return false;
  }
  return true;
}

bool convert_path(PyObject* obj, std::filesystem::path& out) {
  PyRef fs(PyOS_FSPath(obj));
  if (!fs) return false;
  if (!PyUnicode_Check(fs.get())) {
    not_instance(fs.get(), "str");
    return false;
  }
  Py_ssize_t len = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(fs.get(), &len)) {
    const std::string_view text(s, static_cast<std::size_t>(len));
    // The system would silently stop at the NUL and open another file.
    if (text.find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");
      return false;
    }
    out = std::filesystem::path(std::string(text));
    return true;
  }
  PyErr_Clear();  // lone surrogates: go through the wide form instead
  const Py_ssize_t wlen = PyUnicode_AsWideChar(fs.get(), nullptr, 0);
  if (wlen < 0) return false;
  std::vector<wchar_t> wide(static_cast<std::size_t>(wlen) + 1);
  const Py_ssize_t got = PyUnicode_AsWideChar(fs.get(), wide.data(), wlen);
  if (got < 0) return false;
  std::string bytes;
  static_assert(sizeof(wchar_t) == 4, "POSIX wide characters are UTF-32");
  for (Py_ssize_t i = 0; i < got; ++i) {
    if (wide[i] == 0) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");
      return false;
    }
    append_wide(bytes, static_cast<std::uint32_t>(wide[i]));
  }
  out = std::filesystem::path(std::move(bytes));
  return true;
}

bool convert_str(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    not_instance(obj, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (s == nullptr) return false;
  out.assign(s, static_cast<std::size_t>(len));
  return true;
}

bool convert_bool(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // A NumPy boolean scalar converts through its __bool__.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyRef module(PyObject_GetAttrString(type, "__module__"));
  PyRef name(PyObject_GetAttrString(type, "__name__"));
  PyErr_Clear();
  const auto text = [](const PyRef& r) -> std::string_view {
    if (!r || !PyUnicode_Check(r.get())) return {};
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(r.get(), &len);
    if (s == nullptr) {
      PyErr_Clear();
      return {};
    }
    return {s, static_cast<std::size_t>(len)};
  };
  const std::string_view mod = text(module);
  const std::string_view nm = text(name);
  if (mod == "numpy" && (nm == "bool_" || nm == "bool")) {
    if (!PyObject_HasAttrString(type, "__bool__")) {
      type_error(fmt::format("object of type '{}' does not define a '__bool__' conversion", nm));
      return false;
    }
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  not_instance(obj, "bool");
  return false;
}

bool convert_limit(PyObject* obj, std::uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_count(PyObject* obj, const char* name, std::uint64_t& out) {
  if (PyBool_Check(obj) || !PyLong_Check(obj)) {
    PyRef index(PyBool_Check(obj) ? nullptr : PyNumber_Index(obj));
    if (!index) {
      PyErr_Clear();
      not_instance(obj, "int");
      return false;
    }
    return convert_count(index.get(), name, out);
  }
  const int negative = PyObject_RichCompareBool(obj, PyRef(PyLong_FromLong(0)).get(), Py_LT);
  if (negative < 0) return false;
  if (negative == 1) {
    PyRef text(PyObject_Str(obj));
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    PyErr_Clear();
    PyErr_SetString(
        PyExc_ValueError,
        fmt::format("{} must not be negative, got {}", name, s ? s : "a negative number").c_str());
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_path_list(PyObject* obj, std::vector<std::filesystem::path>& out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyObject_HasAttrString(obj, "__fspath__")) {
    std::filesystem::path p;
    if (!convert_path(obj, p)) return false;
    out.push_back(std::move(p));
    return true;
  }
  PyRef iter(PyObject_GetIter(obj));
  if (!iter) return false;
  for (;;) {
    PyRef item(PyIter_Next(iter.get()));
    if (!item) return PyErr_Occurred() == nullptr;
    std::filesystem::path p;
    if (!convert_path(item.get(), p)) return false;
    out.push_back(std::move(p));
  }
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
void add_processing_note(const char* name) {
  // PyErr_Fetch is the only way to reach the pending exception in the 3.10 limited API.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  if (value != nullptr && PyObject_HasAttrString(value, "add_note")) {
    const std::string note = fmt::format("while processing '{}'", name);
    PyRef res(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!res) {
      // The note is a courtesy: keep the original exception.
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, tb);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool convert_limits(const std::vector<PyObject*>& slots, std::size_t first,
                    ResourceLimits& limits) {
  for (std::size_t i = 0; i < LIMIT_COUNT; ++i) {
    PyObject* obj = slots[first + i];
    if (obj == nullptr || obj == Py_None) continue;
    if (!convert_limit(obj, limits.*LIMITS[i].field)) {
      add_processing_note(LIMITS[i].keyword);
      return false;
    }
  }
  return true;
}

}  // namespace tamrel::lib
