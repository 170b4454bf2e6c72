#include "lib/bridge.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tamrel::lib {
namespace {

// The names json_to_python looks up: made by the exec slot, once per process (the module keeps
// no state of its own), and kept for the process's lifetime.
struct BridgeNames {
  PyObject* json = nullptr;
  PyObject* loads = nullptr;
};
BridgeNames names;

// The private module PanicException is registered under, in sys.modules.
constexpr const char* PANIC_HOLDER = "_tamrel_manifest_native";

// One class per process, shared by every extension module of the package: whichever module
// needs it first creates it and registers it under PANIC_HOLDER, where the others (and the
// package, for `except`) find it. A class found there is used only if it is an exception class.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // kept for the process's lifetime
  if (type != nullptr) return type;
  PyObject* holder = PyImport_AddModule(PANIC_HOLDER);  // borrowed; made and registered if new
  if (holder == nullptr) return nullptr;
  PyObject* found = PyObject_GetAttrString(holder, "PanicException");
  if (found != nullptr) {
    const int subclass = PyType_Check(found) ? PyObject_IsSubclass(found, PyExc_BaseException) : 0;
    if (subclass == 1) return type = found;
    Py_DECREF(found);
    if (subclass == 0) {
      PyErr_Format(PyExc_TypeError, "%s.PanicException is not an exception class", PANIC_HOLDER);
    }
    return nullptr;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  PyObject* made = PyErr_NewExceptionWithDoc(
      "_tamrel_manifest_native.PanicException",
      "Raised when the native code panics (an internal invariant failed).\n\n"
      "Like SystemExit, it derives from BaseException so that it normally propagates to the "
      "top instead of being caught by 'except Exception'.",
      PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  if (PyModule_AddObjectRef(holder, "PanicException", made) < 0) {
    Py_DECREF(made);
    return nullptr;
  }
  return type = made;
}

}  // namespace

bool prepare_bridge(PanicClass panic_class) {
  if (names.json == nullptr) names.json = PyUnicode_InternFromString("json");
  if (names.loads == nullptr) names.loads = PyUnicode_InternFromString("loads");
  if (names.json == nullptr || names.loads == nullptr) return false;
  return panic_class == PanicClass::AtFirstPanic || panic_exception_type() != nullptr;
}

PyObject* json_to_python(std::string_view text) {
  PyRef module(PyImport_Import(names.json));
  if (!module) return nullptr;
  PyRef loads(PyObject_GetAttr(module.get(), names.loads));
  if (!loads) return nullptr;
  PyRef str(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) return nullptr;
  return PyObject_CallFunctionObjArgs(loads.get(), str.get(), nullptr);
}

PyObject* raise_manifest_error(const ManifestError& error) {
  PyObject* type = error.variant == ManifestError::Variant::Io ? PyExc_OSError : PyExc_ValueError;
  const std::string text = error.text();
  PyRef arg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!arg) return nullptr;
  // One argument, so OSError stays the plain class with errno, strerror and filename None.
  PyErr_SetObject(type, arg.get());
  return nullptr;
}

PyObject* raise_refused(const ManifestError& error, std::string_view report_json) {
  const std::string text = error.text();
  PyRef arg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!arg) return nullptr;
  PyRef exc(PyObject_CallFunctionObjArgs(PyExc_ValueError, arg.get(), nullptr));
  if (!exc) return nullptr;
  PyRef report(json_to_python(report_json));
  if (!report || PyObject_SetAttrString(exc.get(), "report", report.get()) != 0) return nullptr;
  PyErr_SetObject(PyExc_ValueError, exc.get());
  return nullptr;
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyRef arg(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!arg) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetObject(type, arg.get());
  return nullptr;
}

}  // namespace tamrel::lib
