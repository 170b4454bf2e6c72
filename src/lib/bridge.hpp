// Results and failures crossing into Python.
#pragma once

#include <string_view>

#include "base/result.hpp"
#include "lib/pyref.hpp"

namespace tamrel::lib {

// When PanicException, the one class every module of the package raises, is made: at the first
// panic (so that importing the module registers nothing), or now, so that it is importable
// before any panic as the attribute of the private module "_tamrel_manifest_native" in
// sys.modules. Either way it is made once per process and found there by whoever comes second.
enum class PanicClass : bool { AtFirstPanic, Now };

// Makes what the bridge keeps for the process, once: the names json_to_python looks up, and
// PanicException when panic_class says so. Each module's exec slot calls it before any entry
// point can run. False with the exception set.
bool prepare_bridge(PanicClass panic_class);

// json.loads(text), imported at call time. Null with the Python exception set on failure.
PyObject* json_to_python(std::string_view text);

// Raises the exception for a ManifestError (OSError or ValueError); returns null.
PyObject* raise_manifest_error(const ManifestError& error);

// Raises ValueError(error's text) with the verification report's dict as its `report`.
PyObject* raise_refused(const ManifestError& error, std::string_view report_json);

// Raises PanicException(message); returns null. Aborts the process if even that fails.
PyObject* raise_panic(std::string_view message);

// Runs body, turning the C++ failures that may unwind out of a worker into Python exceptions:
// a panic into PanicException, std::bad_alloc into MemoryError. Nothing else escapes.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

}  // namespace tamrel::lib

#include <new>

#include "base/panic.hpp"

namespace tamrel::lib {

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Panic& p) {
    return raise_panic(p.message);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("native code panicked");
  }
}

}  // namespace tamrel::lib
