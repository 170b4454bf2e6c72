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
#include "lib/entry.hpp"
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

// ---- the entry points: a record of converted arguments, the table that fills it, the run ----

struct NoArguments {};
constexpr Entry<NoArguments, 0> kDefaultLimits{"default_resource_limits", {}};

// Touches no file, so it keeps the lock.
PyObject* default_resource_limits(NoArguments&) {
  return json_to_python(limits_json(ResourceLimits{}));
}

struct DigestCall {
  std::filesystem::path path;
};
constexpr Entry<DigestCall, 1> kSha256File{"sha256_file", {{{"path", &DigestCall::path}}}};

PyObject* sha256_file(DigestCall& call) {
  return finish(without_lock([&] {
#ifdef TAMREL_TEST_HOOKS
    // Test builds only: a way to reach the panic path from Python.
    if (std::getenv("TAMREL_TEST_PANIC") != nullptr) panic("injected panic for tests");
#endif
    return to_json(io::digest_file(call.path, io::Origin::Caller), digest_json);
  }));
}

struct InspectCall {
  std::filesystem::path manifest;
  ResourceLimits limits;
};
constexpr Entry<InspectCall, 1> kInspectManifest{
    "inspect_manifest", {{{"manifest", &InspectCall::manifest}}}, &InspectCall::limits};

PyObject* inspect_manifest(InspectCall& call) {
  return finish(without_lock([&] {
    return to_json(model::load_manifest(call.manifest, call.limits.max_manifest_bytes),
                   model::manifest_to_json);
  }));
}

// verify_manifest and verify_for_load take the same parameters.
struct VerifyCall : verify::VerifyOptions {
  std::filesystem::path manifest;
};
constexpr std::array<Param<VerifyCall>, 5> kVerifyParams{{
    {"manifest", &VerifyCall::manifest},
    {"index", &VerifyCall::index},
    {"allow_absolute_paths", &VerifyCall::allow_absolute_paths},
    {"allow_path_escape", &VerifyCall::allow_path_escape},
    {"allow_duplicate_db_ids", &VerifyCall::allow_duplicate_db_ids},
}};
constexpr Entry<VerifyCall, 5> kVerifyManifest{"verify_manifest", kVerifyParams,
                                               &VerifyCall::limits};
constexpr Entry<VerifyCall, 5> kVerifyForLoad{"verify_for_load", kVerifyParams,
                                              &VerifyCall::limits};

PyObject* verify_manifest(VerifyCall& call) {
  return finish(without_lock([&] { return verify::verify_manifest_json(call.manifest, call); }));
}

PyObject* verify_for_load(VerifyCall& call) {
  std::string refused_report;
  const Result<std::string> result = without_lock(
      [&] { return verify::verify_for_load_json(call.manifest, call, &refused_report); });
  if (!result.ok() && !refused_report.empty()) {
    return raise_refused(result.error(), refused_report);
  }
  return finish(result);
}

// Reads the auxiliary items with the lock held; failures propagate unchanged (no note).
bool read_auxiliary_items(PyObject* iterable, std::vector<create::AuxiliaryItem>& items) {
  PyRef iter(PyObject_GetIter(iterable));
  if (!iter) return false;
  PyRef name_key(PyUnicode_FromString("name"));
  PyRef path_key(PyUnicode_FromString("path"));
  PyRef required_key(PyUnicode_FromString("required"));
  if (!name_key || !path_key || !required_key) return false;
  for (;;) {
    PyRef item(PyIter_Next(iter.get()));
    if (!item) return PyErr_Occurred() == nullptr;
    create::AuxiliaryItem out;
    PyRef name(PyObject_GetItem(item.get(), name_key.get()));
    if (!name || !convert_str(name.get(), out.name)) return false;
    PyRef path(PyObject_GetItem(item.get(), path_key.get()));
    if (!path || !convert_path(path.get(), out.path)) return false;
    PyRef required(PyObject_GetItem(item.get(), required_key.get()));
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

struct CreateCall : create::CreateOptions {
  PyObject* auxiliary_items = nullptr;  // iterated after the checks below
};
constexpr Entry<CreateCall, 8> kCreateManifest{
    "create_manifest",
    {{
        {"index", &CreateCall::index},
        {"out", &CreateCall::out},
        {"embedding_model", &CreateCall::embedding_model},
        {"row_map", &CreateCall::row_map},
        {"row_id_is_identity", &CreateCall::row_id_is_identity},
        {"auxiliary_artifacts", &CreateCall::auxiliary_items},
        {"allow_absolute_paths", &CreateCall::allow_absolute_paths},
        {"allow_path_escape", &CreateCall::allow_path_escape},
    }},
    &CreateCall::limits};

PyObject* create_manifest(CreateCall& call) {
  if (call.row_map && call.row_id_is_identity) {
    PyErr_SetString(PyExc_ValueError, "use either row_map or row_id_is_identity, not both");
    return nullptr;
  }
  if (!call.row_map && !call.row_id_is_identity) {
    PyErr_SetString(PyExc_ValueError, "one of row_map or row_id_is_identity=True is required");
    return nullptr;
  }
  if (call.auxiliary_items != nullptr &&
      !read_auxiliary_items(call.auxiliary_items, call.auxiliary_artifacts)) {
    return nullptr;
  }
  return finish(without_lock(
      [&] { return to_json(create::create_manifest(call), model::manifest_to_json); }));
}

// ---- module definition ----

PyMethodDef kMethods[] = {
    method<kDefaultLimits, default_resource_limits>(), method<kSha256File, sha256_file>(),
    method<kInspectManifest, inspect_manifest>(),      method<kVerifyManifest, verify_manifest>(),
    method<kVerifyForLoad, verify_for_load>(),         method<kCreateManifest, create_manifest>(),
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
  if (!prepare_bridge(PanicClass::AtFirstPanic)) return -1;
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
