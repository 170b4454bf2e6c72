// The module _tamrel_manifest: definition, exec slot, and the six entry points.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
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
    for (std::size_t i = 0; i < std::size(LIMIT_NAMES); ++i) {
      o.u64(LIMIT_NAMES[i], limit_field(const_cast<ResourceLimits&>(limits), i));
    }
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

#define TAMREL_LIMIT_PARAMS                                                               \
  "max_manifest_bytes", "max_row_map_line_bytes", "max_row_map_rows",                     \
      "max_row_map_tracked_id_bytes", "max_auxiliary_artifacts",                          \
      "max_auxiliary_artifact_bytes", "max_calibration_profile_bytes",                    \
      "max_encoder_distortion_profile_bytes", "max_report_issues", "max_cached_report_bytes"

constexpr const char* kInspectParams[] = {"manifest", TAMREL_LIMIT_PARAMS};
constexpr Signature kInspectSig{"inspect_manifest", kInspectParams, 1, 1};

constexpr const char* kVerifyParams[] = {"manifest",
                                         "index",
                                         "allow_absolute_paths",
                                         "allow_path_escape",
                                         "allow_duplicate_db_ids",
                                         TAMREL_LIMIT_PARAMS};
constexpr Signature kVerifySig{"verify_manifest", kVerifyParams, 1, 1};
constexpr Signature kVerifyForLoadSig{"verify_for_load", kVerifyParams, 1, 1};

constexpr const char* kCreateParams[] = {"index",
                                         "out",
                                         "embedding_model",
                                         "row_map",
                                         "row_id_is_identity",
                                         "auxiliary_artifacts",
                                         "allow_absolute_paths",
                                         "allow_path_escape",
                                         TAMREL_LIMIT_PARAMS};
constexpr Signature kCreateSig{"create_manifest", kCreateParams, 3, 3};

#undef TAMREL_LIMIT_PARAMS

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
    if (!param([&] { return convert_path(slots[0], manifest); }, "manifest")) return nullptr;
    ResourceLimits limits;
    if (!convert_limits(slots, 1, limits)) return nullptr;
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
  if (!param([&] { return convert_path(slots[0], manifest); }, "manifest")) return false;
  if (slots[1] != nullptr && slots[1] != Py_None) {
    std::filesystem::path index;
    if (!param([&] { return convert_path(slots[1], index); }, "index")) return false;
    options.index = std::move(index);
  }
  bool* flags[] = {&options.allow_absolute_paths, &options.allow_path_escape,
                   &options.allow_duplicate_db_ids};
  for (std::size_t i = 0; i < 3; ++i) {
    if (slots[2 + i] == nullptr) continue;
    if (!param([&] { return convert_bool(slots[2 + i], *flags[i]); }, sig.params[2 + i])) {
      return false;
    }
  }
  return convert_limits(slots, 5, options.limits);
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
    create::CreateOptions options;
    if (!param([&] { return convert_path(slots[0], options.index); }, "index")) return nullptr;
    if (!param([&] { return convert_path(slots[1], options.out); }, "out")) return nullptr;
    if (!param([&] { return convert_str(slots[2], options.embedding_model); }, "embedding_model")) {
      return nullptr;
    }
    if (slots[3] != nullptr && slots[3] != Py_None) {
      std::filesystem::path row_map;
      if (!param([&] { return convert_path(slots[3], row_map); }, "row_map")) return nullptr;
      options.row_map = std::move(row_map);
    }
    if (slots[4] != nullptr &&
        !param([&] { return convert_bool(slots[4], options.row_id_is_identity); },
               "row_id_is_identity")) {
      return nullptr;
    }
    PyObject* aux = slots[5] == Py_None ? nullptr : slots[5];  // held, iterated below
    if (slots[6] != nullptr &&
        !param([&] { return convert_bool(slots[6], options.allow_absolute_paths); },
               "allow_absolute_paths")) {
      return nullptr;
    }
    if (slots[7] != nullptr &&
        !param([&] { return convert_bool(slots[7], options.allow_path_escape); },
               "allow_path_escape")) {
      return nullptr;
    }
    if (!convert_limits(slots, 8, options.limits)) return nullptr;
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

PyMethodDef kMethods[] = {
    {"default_resource_limits", default_resource_limits, METH_NOARGS,
     "default_resource_limits()\n--\n\n"},
    {"sha256_file", as_cfunction(sha256_file), METH_FASTCALL | METH_KEYWORDS,
     "sha256_file(path)\n--\n\n"},
    {"inspect_manifest", as_cfunction(inspect_manifest), METH_FASTCALL | METH_KEYWORDS,
     "inspect_manifest(manifest, *, max_manifest_bytes=None, max_row_map_line_bytes=None, "
     "max_row_map_rows=None, max_row_map_tracked_id_bytes=None, max_auxiliary_artifacts=None, "
     "max_auxiliary_artifact_bytes=None, max_calibration_profile_bytes=None, "
     "max_encoder_distortion_profile_bytes=None, max_report_issues=None, "
     "max_cached_report_bytes=None)\n--\n\n"},
    {"verify_manifest", as_cfunction(verify_manifest), METH_FASTCALL | METH_KEYWORDS,
     "verify_manifest(manifest, *, index=None, allow_absolute_paths=False, "
     "allow_path_escape=False, allow_duplicate_db_ids=False, max_manifest_bytes=None, "
     "max_row_map_line_bytes=None, max_row_map_rows=None, max_row_map_tracked_id_bytes=None, "
     "max_auxiliary_artifacts=None, max_auxiliary_artifact_bytes=None, "
     "max_calibration_profile_bytes=None, max_encoder_distortion_profile_bytes=None, "
     "max_report_issues=None, max_cached_report_bytes=None)\n--\n\n"},
    {"verify_for_load", as_cfunction(verify_for_load), METH_FASTCALL | METH_KEYWORDS,
     "verify_for_load(manifest, *, index=None, allow_absolute_paths=False, "
     "allow_path_escape=False, allow_duplicate_db_ids=False, max_manifest_bytes=None, "
     "max_row_map_line_bytes=None, max_row_map_rows=None, max_row_map_tracked_id_bytes=None, "
     "max_auxiliary_artifacts=None, max_auxiliary_artifact_bytes=None, "
     "max_calibration_profile_bytes=None, max_encoder_distortion_profile_bytes=None, "
     "max_report_issues=None, max_cached_report_bytes=None)\n--\n\n"},
    {"create_manifest", as_cfunction(create_manifest), METH_FASTCALL | METH_KEYWORDS,
     "create_manifest(index, out, embedding_model, *, row_map=None, row_id_is_identity=False, "
     "auxiliary_artifacts=None, allow_absolute_paths=False, allow_path_escape=False, "
     "max_manifest_bytes=None, max_row_map_line_bytes=None, max_row_map_rows=None, "
     "max_row_map_tracked_id_bytes=None, max_auxiliary_artifacts=None, "
     "max_auxiliary_artifact_bytes=None, max_calibration_profile_bytes=None, "
     "max_encoder_distortion_profile_bytes=None, max_report_issues=None, "
     "max_cached_report_bytes=None)\n--\n\n"},
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
  struct IntConst {
    const char* name;
    std::uint64_t value;
  };
  const IntConst ints[] = {
      {"DEFAULT_MAX_MANIFEST_BYTES", DEFAULT_MAX_MANIFEST_BYTES},
      {"DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES", DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES},
      {"DEFAULT_MAX_ROW_IDENTITY_ROWS", DEFAULT_MAX_ROW_IDENTITY_ROWS},
      {"DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES", DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES},
      {"DEFAULT_MAX_AUXILIARY_ARTIFACTS", DEFAULT_MAX_AUXILIARY_ARTIFACTS},
      {"DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES", DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES},
      {"DEFAULT_MAX_CALIBRATION_PROFILE_BYTES", DEFAULT_MAX_CALIBRATION_PROFILE_BYTES},
      {"DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
       DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES},
      {"DEFAULT_MAX_REPORT_ISSUES", DEFAULT_MAX_REPORT_ISSUES},
      {"DEFAULT_MAX_CACHED_REPORT_BYTES", DEFAULT_MAX_CACHED_REPORT_BYTES},
  };
  for (const auto& c : ints) {
    if (add_attribute(module, c.name, PyLong_FromUnsignedLongLong(c.value)) < 0) return -1;
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
    PyModuleDef_HEAD_INIT,
    "_tamrel_manifest",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tamrel::lib

extern "C" PyMODINIT_FUNC PyInit__tamrel_manifest(void) {
  return PyModuleDef_Init(&tamrel::lib::kModule);
}
