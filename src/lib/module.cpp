// The module _tamrel_manifest: definition, exec slot, and the six entry points.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/limits.hpp"
#include "create/create.hpp"
#include "io/digest.hpp"
#include "lib/args.hpp"
#include "lib/bridge.hpp"
#include "lib/pyref.hpp"
#include "model/codec.hpp"
#include "model/writer.hpp"
#include "verify/verify.hpp"

namespace tamrel::lib {
namespace {

// ---- results ----

std::string limits_json(const ResourceLimits& limits) {
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    for (const Limit& limit : LIMITS) o.u64(limit.keyword, limits.*limit.field);
  }
  return w.take();
}

std::string digest_json(const io::FileDigest& digest) {
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    o.str("sha256", std::string_view(digest.sha256));
    o.u64("size_bytes", digest.size_bytes);
  }
  return w.take();
}

// Finishes an entry point: the lock is held again here.
PyObject* finish(const Result<std::string>& result) {
  if (!result.ok()) return raise_manifest_error(result.error());
  return json_to_python(*result);
}

// Converts one parameter; on failure attaches the note naming it.
template <class Convert>
bool param(Convert&& convert, const char* name) {
  if (convert()) return true;
  add_processing_note(name);
  return false;
}

// ---- signatures ----

constexpr const char* kSha256Params[] = {"path"};
constexpr Signature kSha256Sig{"sha256_file", kSha256Params, 1, 1};

// Each function's own parameters, named by slot, then the limits from FIRST_LIMIT on.
namespace inspect_slot {
enum : std::size_t { MANIFEST, FIRST_LIMIT };
}
constexpr const char* kInspectOwn[] = {"manifest"};
static_assert(std::size(kInspectOwn) == inspect_slot::FIRST_LIMIT);
constexpr auto kInspectParams = with_limits(kInspectOwn);
constexpr Signature kInspectSig{"inspect_manifest", kInspectParams, 1, 1};

namespace verify_slot {
enum : std::size_t {
  MANIFEST,
  INDEX,
  ALLOW_ABSOLUTE_PATHS,
  ALLOW_PATH_ESCAPE,
  ALLOW_DUPLICATE_DB_IDS,
  FIRST_LIMIT
};
}
constexpr const char* kVerifyOwn[] = {"manifest", "index", "allow_absolute_paths",
                                      "allow_path_escape", "allow_duplicate_db_ids"};
static_assert(std::size(kVerifyOwn) == verify_slot::FIRST_LIMIT);
constexpr auto kVerifyParams = with_limits(kVerifyOwn);
constexpr Signature kVerifySig{"verify_manifest", kVerifyParams, 1, 1};
constexpr Signature kVerifyForLoadSig{"verify_for_load", kVerifyParams, 1, 1};

namespace create_slot {
enum : std::size_t {
  INDEX,
  OUT,
  EMBEDDING_MODEL,
  ROW_MAP,
  ROW_ID_IS_IDENTITY,
  AUXILIARY_ARTIFACTS,
  ALLOW_ABSOLUTE_PATHS,
  ALLOW_PATH_ESCAPE,
  FIRST_LIMIT
};
}
constexpr const char* kCreateOwn[] = {"index",
                                      "out",
                                      "embedding_model",
                                      "row_map",
                                      "row_id_is_identity",
                                      "auxiliary_artifacts",
                                      "allow_absolute_paths",
                                      "allow_path_escape"};
static_assert(std::size(kCreateOwn) == create_slot::FIRST_LIMIT);
constexpr auto kCreateParams = with_limits(kCreateOwn);
constexpr Signature kCreateSig{"create_manifest", kCreateParams, 3, 3};

// ---- entry points ----

PyObject* default_resource_limits(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return json_to_python(limits_json(ResourceLimits{})); });
}

PyObject* sha256_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<PyObject*> slots;
    if (!match_arguments(kSha256Sig, args, nargs, kwnames, slots)) return nullptr;
    std::filesystem::path path;
    if (!param([&] { return convert_path(slots[0], path); }, "path")) return nullptr;
    Result<std::string> result = std::string();
    {
      ReleasedLock unlocked;
#ifdef TAMREL_TEST_HOOKS
      // Test builds only: a way to reach the panic path from Python.
      if (std::getenv("TAMREL_TEST_PANIC") != nullptr) panic("injected panic for tests");
#endif
      auto digest = io::digest_file(path, io::Origin::Caller);
      if (digest.ok()) {
        result = digest_json(*digest);
      } else {
        result = std::move(digest).error();
      }
    }
    return finish(result);
  });
}

PyObject* inspect_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<PyObject*> slots;
    if (!match_arguments(kInspectSig, args, nargs, kwnames, slots)) return nullptr;
    std::filesystem::path manifest;
    if (!param([&] { return convert_path(slots[inspect_slot::MANIFEST], manifest); }, "manifest")) {
      return nullptr;
    }
    ResourceLimits limits;
    if (!convert_limits(slots, inspect_slot::FIRST_LIMIT, limits)) return nullptr;
    Result<std::string> result = std::string();
    {
      ReleasedLock unlocked;
      auto loaded = model::load_manifest(manifest, limits.max_manifest_bytes);
      if (loaded.ok()) {
        result = model::manifest_to_json(*loaded);
      } else {
        result = std::move(loaded).error();
      }
    }
    return finish(result);
  });
}

// verify_manifest and verify_for_load share their parameters.
bool convert_verify_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, std::filesystem::path& manifest,
                         verify::VerifyOptions& options) {
  std::vector<PyObject*> slots;
  if (!match_arguments(sig, args, nargs, kwnames, slots)) return false;
  using namespace verify_slot;
  if (!param([&] { return convert_path(slots[MANIFEST], manifest); }, "manifest")) return false;
  if (slots[INDEX] != nullptr && slots[INDEX] != Py_None) {
    std::filesystem::path index;
    if (!param([&] { return convert_path(slots[INDEX], index); }, "index")) return false;
    options.index = std::move(index);
  }
  const std::pair<std::size_t, bool*> flags[] = {
      {ALLOW_ABSOLUTE_PATHS, &options.allow_absolute_paths},
      {ALLOW_PATH_ESCAPE, &options.allow_path_escape},
      {ALLOW_DUPLICATE_DB_IDS, &options.allow_duplicate_db_ids},
  };
  for (const auto& flag : flags) {
    PyObject* obj = slots[flag.first];
    if (obj == nullptr) continue;
    if (!param([&] { return convert_bool(obj, *flag.second); }, sig.params[flag.first])) {
      return false;
    }
  }
  return convert_limits(slots, FIRST_LIMIT, options.limits);
}

PyObject* verify_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::filesystem::path manifest;
    verify::VerifyOptions options;
    if (!convert_verify_args(kVerifySig, args, nargs, kwnames, manifest, options)) return nullptr;
    Result<std::string> result = std::string();
    {
      ReleasedLock unlocked;
      result = verify::verify_manifest_json(manifest, options);
    }
    return finish(result);
  });
}

PyObject* verify_for_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::filesystem::path manifest;
    verify::VerifyOptions options;
    if (!convert_verify_args(kVerifyForLoadSig, args, nargs, kwnames, manifest, options)) {
      return nullptr;
    }
    Result<std::string> result = std::string();
    std::string refused_report;
    {
      ReleasedLock unlocked;
      result = verify::verify_for_load_json(manifest, options, &refused_report);
    }
    if (!result.ok() && !refused_report.empty()) {
      return raise_refused(result.error(), refused_report);
    }
    return finish(result);
  });
}

// Reads the auxiliary items with the lock held; failures propagate unchanged (no note).
bool read_auxiliary_items(PyObject* iterable, std::vector<create::AuxiliaryItem>& items) {
  PyRef iter(PyObject_GetIter(iterable));
  if (!iter) return false;
  for (;;) {
    PyRef item(PyIter_Next(iter.get()));
    if (!item) return PyErr_Occurred() == nullptr;
    create::AuxiliaryItem out;
    PyRef name(PyObject_GetItem(item.get(), PyRef(PyUnicode_FromString("name")).get()));
    if (!name || !convert_str(name.get(), out.name)) return false;
    PyRef path(PyObject_GetItem(item.get(), PyRef(PyUnicode_FromString("path")).get()));
    if (!path || !convert_path(path.get(), out.path)) return false;
    PyRef required(PyObject_GetItem(item.get(), PyRef(PyUnicode_FromString("required")).get()));
    if (required) {
      if (!convert_bool(required.get(), out.required)) return false;
    } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
      out.required = true;
    } else {
      return false;
    }
    items.push_back(std::move(out));
  }
}

PyObject* create_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<PyObject*> slots;
    if (!match_arguments(kCreateSig, args, nargs, kwnames, slots)) return nullptr;
    using namespace create_slot;
    create::CreateOptions options;
    if (!param([&] { return convert_path(slots[INDEX], options.index); }, "index")) return nullptr;
    if (!param([&] { return convert_path(slots[OUT], options.out); }, "out")) return nullptr;
    if (!param([&] { return convert_str(slots[EMBEDDING_MODEL], options.embedding_model); },
               "embedding_model")) {
      return nullptr;
    }
    if (slots[ROW_MAP] != nullptr && slots[ROW_MAP] != Py_None) {
      std::filesystem::path row_map;
      if (!param([&] { return convert_path(slots[ROW_MAP], row_map); }, "row_map")) return nullptr;
      options.row_map = std::move(row_map);
    }
    if (slots[ROW_ID_IS_IDENTITY] != nullptr &&
        !param([&] { return convert_bool(slots[ROW_ID_IS_IDENTITY], options.row_id_is_identity); },
               "row_id_is_identity")) {
      return nullptr;
    }
    // Held, iterated below.
    PyObject* aux = slots[AUXILIARY_ARTIFACTS] == Py_None ? nullptr : slots[AUXILIARY_ARTIFACTS];
    if (slots[ALLOW_ABSOLUTE_PATHS] != nullptr &&
        !param(
            [&] { return convert_bool(slots[ALLOW_ABSOLUTE_PATHS], options.allow_absolute_paths); },
            "allow_absolute_paths")) {
      return nullptr;
    }
    if (slots[ALLOW_PATH_ESCAPE] != nullptr &&
        !param([&] { return convert_bool(slots[ALLOW_PATH_ESCAPE], options.allow_path_escape); },
               "allow_path_escape")) {
      return nullptr;
    }
    if (!convert_limits(slots, FIRST_LIMIT, options.limits)) return nullptr;
    if (options.row_map && options.row_id_is_identity) {
      PyErr_SetString(PyExc_ValueError, "use either row_map or row_id_is_identity, not both");
      return nullptr;
    }
    if (!options.row_map && !options.row_id_is_identity) {
      PyErr_SetString(PyExc_ValueError, "one of row_map or row_id_is_identity=True is required");
      return nullptr;
    }
    if (aux != nullptr && !read_auxiliary_items(aux, options.auxiliary_artifacts)) return nullptr;
    Result<std::string> result = std::string();
    {
      ReleasedLock unlocked;
      auto created = create::create_manifest(options);
      if (created.ok()) {
        result = model::manifest_to_json(*created);
      } else {
        result = std::move(created).error();
      }
    }
    return finish(result);
  });
}

// ---- module definition ----

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A signature line for help() and inspect: the head, every limit keyword defaulting to None,
// then the marker that ends it. Built at compile time from LIMITS.
struct SignatureDoc {
  char text[1024]{};
};
constexpr SignatureDoc signature_doc(std::string_view head) {
  SignatureDoc doc;
  std::size_t n = 0;
  const auto put = [&](std::string_view part) {
    for (const char c : part) doc.text[n++] = c;  // past the end: not a constant expression
  };
  put(head);
  for (const Limit& limit : LIMITS) {
    put(", ");
    put(limit.keyword);
    put("=None");
  }
  put(")\n--\n\n");
  return doc;
}

constexpr SignatureDoc kInspectDoc = signature_doc("inspect_manifest(manifest, *");
constexpr SignatureDoc kVerifyDoc = signature_doc(
    "verify_manifest(manifest, *, index=None, allow_absolute_paths=False, "
    "allow_path_escape=False, allow_duplicate_db_ids=False");
constexpr SignatureDoc kVerifyForLoadDoc = signature_doc(
    "verify_for_load(manifest, *, index=None, allow_absolute_paths=False, "
    "allow_path_escape=False, allow_duplicate_db_ids=False");
constexpr SignatureDoc kCreateDoc = signature_doc(
    "create_manifest(index, out, embedding_model, *, row_map=None, row_id_is_identity=False, "
    "auxiliary_artifacts=None, allow_absolute_paths=False, allow_path_escape=False");

PyMethodDef kMethods[] = {
    {"default_resource_limits", default_resource_limits, METH_NOARGS,
     "default_resource_limits()\n--\n\n"},
    {"sha256_file", as_cfunction(sha256_file), METH_FASTCALL | METH_KEYWORDS,
     "sha256_file(path)\n--\n\n"},
    {"inspect_manifest", as_cfunction(inspect_manifest), METH_FASTCALL | METH_KEYWORDS,
     kInspectDoc.text},
    {"verify_manifest", as_cfunction(verify_manifest), METH_FASTCALL | METH_KEYWORDS,
     kVerifyDoc.text},
    {"verify_for_load", as_cfunction(verify_for_load), METH_FASTCALL | METH_KEYWORDS,
     kVerifyForLoadDoc.text},
    {"create_manifest", as_cfunction(create_manifest), METH_FASTCALL | METH_KEYWORDS,
     kCreateDoc.text},
};

// Appends name to __all__ (creating it on first use), then sets the attribute. Steals value.
int add_attribute(PyObject* module, const char* name, PyObject* value_owned) {
  PyRef value(value_owned);
  if (!value) return -1;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  PyRef key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value.get());
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  struct StrConst {
    const char* name;
    const char* value;
  };
  const StrConst strings[] = {
      {"SCHEMA_VERSION", SCHEMA_VERSION},
      {"CALIBRATION_SCHEMA_VERSION", CALIBRATION_SCHEMA_VERSION},
      {"ENCODER_DISTORTION_SCHEMA_VERSION", ENCODER_DISTORTION_SCHEMA_VERSION},
  };
  for (const auto& c : strings) {
    if (add_attribute(module, c.name, PyUnicode_FromString(c.value)) < 0) return -1;
  }
  for (const Limit& limit : LIMITS) {
    if (add_attribute(module, limit.constant, PyLong_FromUnsignedLongLong(limit.default_value)) <
        0) {
      return -1;
    }
  }
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& def : kMethods) {
    if (add_attribute(module, def.ml_name,
                      PyCMethod_New(&def, module, module_name.get(), nullptr)) < 0) {
      return -1;
    }
  }
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_tamrel_manifest", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tamrel::lib

PyMODINIT_FUNC PyInit__tamrel_manifest(void) { return PyModuleDef_Init(&tamrel::lib::kModule); }
