// The module _tamrel_sign: key generation, signing and signed verification. Its own module, so
// that _tamrel_manifest keeps exactly its surface.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "lib/args.hpp"
#include "lib/bridge.hpp"
#include "lib/entry.hpp"
#include "lib/pyref.hpp"
#include "model/writer.hpp"
#include "sign/issues.hpp"
#include "sign/keys.hpp"
#include "sign/sign.hpp"

namespace tamrel::lib {
namespace {

template <class Convert>
bool param(Convert&& convert, const char* name) {
  if (convert()) return true;
  add_processing_note(name);
  return false;
}

bool convert_optional_str(PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string s;
  if (!convert_str(obj, s)) return false;
  out = std::move(s);
  return true;
}

// An iterable of paths (the caller has already turned a lone path into a list).
bool convert_paths(PyObject* obj, std::vector<std::filesystem::path>& out) {
  if (obj == nullptr || obj == Py_None) return true;
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

// The verification options every function here shares with verify_manifest.
constexpr const char* kVerifyFlags[] = {"allow_absolute_paths", "allow_path_escape",
                                        "allow_duplicate_db_ids"};

bool convert_verify_flags(const std::vector<PyObject*>& slots, std::size_t first,
                          verify::VerifyOptions& options) {
  bool* const flags[] = {&options.allow_absolute_paths, &options.allow_path_escape,
                         &options.allow_duplicate_db_ids};
  for (std::size_t i = 0; i < std::size(flags); ++i) {
    PyObject* obj = slots[first + i];
    if (obj != nullptr && !param([&] { return convert_bool(obj, *flags[i]); }, kVerifyFlags[i])) {
      return false;
    }
  }
  return convert_limits(slots, first + std::size(flags), options.limits);
}

// ---- generate_key(path, key_type="ecdsa-p256", *, password=None) ----

constexpr const char* kKeygenParams[] = {"path", "key_type", "password"};
constexpr Signature kKeygenSig{"generate_key", kKeygenParams, 2, 1};

std::string key_json(const sign::Key& key) {
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    o.str("key_id", std::string_view(key.id));
    o.str("key_type", sign::key_type_name(key.type));
  }
  return w.take();
}

PyObject* generate_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<PyObject*> slots;
    if (!match_arguments(kKeygenSig, args, nargs, kwnames, slots)) return nullptr;
    std::filesystem::path path;
    if (!param([&] { return convert_path(slots[0], path); }, "path")) return nullptr;
    std::string type_name = "ecdsa-p256";
    if (slots[1] != nullptr &&
        !param([&] { return convert_str(slots[1], type_name); }, "key_type")) {
      return nullptr;
    }
    std::optional<std::string> password;
    if (!param([&] { return convert_optional_str(slots[2], password); }, "password")) {
      return nullptr;
    }
    const std::optional<sign::KeyType> type = sign::key_type_from_name(type_name);
    if (!type)
      return raise_manifest_error(sign::issues::key_type_unknown(tamrel::quoted(type_name)));
    return finish(
        without_lock([&] { return to_json(sign::generate_key(path, *type, password), key_json); }));
  });
}

// ---- sign_manifest(manifest, key, *, signature=None, password=None, <verify options>) ----

constexpr const char* kSignOwn[] = {"manifest",
                                    "key",
                                    "signature",
                                    "password",
                                    "allow_absolute_paths",
                                    "allow_path_escape",
                                    "allow_duplicate_db_ids"};
constexpr std::size_t kSignFlags = 4;
constexpr auto kSignParams = with_limits(kSignOwn);
constexpr Signature kSignSig{"sign_manifest", kSignParams, 2, 2};

PyObject* sign_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<PyObject*> slots;
    if (!match_arguments(kSignSig, args, nargs, kwnames, slots)) return nullptr;
    sign::SignOptions options;
    if (!param([&] { return convert_path(slots[0], options.manifest); }, "manifest") ||
        !param([&] { return convert_path(slots[1], options.key); }, "key")) {
      return nullptr;
    }
    if (slots[2] != nullptr && slots[2] != Py_None) {
      std::filesystem::path sig;
      if (!param([&] { return convert_path(slots[2], sig); }, "signature")) return nullptr;
      options.signature = std::move(sig);
    }
    if (!param([&] { return convert_optional_str(slots[3], options.password); }, "password") ||
        !convert_verify_flags(slots, kSignFlags, options.verify)) {
      return nullptr;
    }
    std::string refused_report;
    const Result<std::string> result =
        without_lock([&] { return sign::sign_manifest_json(options, &refused_report); });
    if (!result.ok() && !refused_report.empty()) {
      return raise_refused(result.error(), refused_report);
    }
    return finish(result);
  });
}

// ---- verify_signed_manifest(manifest, trusted_keys, *, signatures=None, threshold=1,
//      max_signature_bytes=None, load_plan=False, index=None, <verify options>) ----

constexpr const char* kVerifyOwn[] = {"manifest",
                                      "trusted_keys",
                                      "signatures",
                                      "threshold",
                                      "max_signature_bytes",
                                      "load_plan",
                                      "index",
                                      "allow_absolute_paths",
                                      "allow_path_escape",
                                      "allow_duplicate_db_ids"};
constexpr std::size_t kVerifyFlagsAt = 7;
constexpr auto kVerifyParams = with_limits(kVerifyOwn);
constexpr Signature kVerifySig{"verify_signed_manifest", kVerifyParams, 2, 2};

PyObject* verify_signed_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<PyObject*> slots;
    if (!match_arguments(kVerifySig, args, nargs, kwnames, slots)) return nullptr;
    sign::SignedVerifyOptions options;
    if (!param([&] { return convert_path(slots[0], options.manifest); }, "manifest") ||
        !param([&] { return convert_paths(slots[1], options.trusted_keys); }, "trusted_keys") ||
        !param([&] { return convert_paths(slots[2], options.signatures); }, "signatures")) {
      return nullptr;
    }
    if (slots[3] != nullptr && slots[3] != Py_None &&
        !param([&] { return convert_limit(slots[3], options.threshold); }, "threshold")) {
      return nullptr;
    }
    if (slots[4] != nullptr && slots[4] != Py_None &&
        !param([&] { return convert_limit(slots[4], options.max_signature_bytes); },
               "max_signature_bytes")) {
      return nullptr;
    }
    if (slots[5] != nullptr &&
        !param([&] { return convert_bool(slots[5], options.load_plan); }, "load_plan")) {
      return nullptr;
    }
    if (slots[6] != nullptr && slots[6] != Py_None) {
      std::filesystem::path index;
      if (!param([&] { return convert_path(slots[6], index); }, "index")) return nullptr;
      options.verify.index = std::move(index);
    }
    if (!convert_verify_flags(slots, kVerifyFlagsAt, options.verify)) return nullptr;
    return finish(without_lock([&] { return sign::verify_signed_json(options); }));
  });
}

// ---- module definition ----

PyMethodDef kMethods[] = {
    {"generate_key", as_cfunction(generate_key), METH_FASTCALL | METH_KEYWORDS,
     "generate_key(path, key_type='ecdsa-p256', *, password=None)\n--\n\n"},
    {"sign_manifest", as_cfunction(sign_manifest), METH_FASTCALL | METH_KEYWORDS,
     "sign_manifest(manifest, key, *, signature=None, password=None, **verify_options)\n--\n\n"},
    {"verify_signed_manifest", as_cfunction(verify_signed_manifest), METH_FASTCALL | METH_KEYWORDS,
     "verify_signed_manifest(manifest, trusted_keys, *, signatures=None, threshold=1, "
     "max_signature_bytes=None, load_plan=False, **verify_options)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (!prepare_bridge(PanicClass::Now)) return -1;
  PyRef limit(PyLong_FromUnsignedLongLong(sign::DEFAULT_MAX_SIGNATURE_BYTES));
  if (!limit) return -1;
  return PyModule_AddObjectRef(module, "DEFAULT_MAX_SIGNATURE_BYTES", limit.get());
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_tamrel_sign", "", 0, kMethods, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tamrel::lib

PyMODINIT_FUNC PyInit__tamrel_sign(void) { return PyModuleDef_Init(&tamrel::lib::kModule); }
