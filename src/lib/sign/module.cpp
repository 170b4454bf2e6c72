// The module _tamrel_sign: key generation, signing and signed verification. Its own module, so
// that _tamrel_manifest keeps exactly its surface. Every entry point is built from its table
// (lib/entry.hpp), as _tamrel_manifest's are.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
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

// ---- generate_key(path, key_type="ecdsa-p256", *, password=None) ----

struct KeygenCall {
  std::filesystem::path path;
  std::string key_type = "ecdsa-p256";
  Password password;
};
constexpr Entry<KeygenCall, 3> kGenerateKey{"generate_key",
                                            {{
                                                {"path", &KeygenCall::path},
                                                {"key_type", &KeygenCall::key_type, "'ecdsa-p256'"},
                                                {"password", &KeygenCall::password},
                                            }}};

std::string key_json(const sign::Key& key) {
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    o.str("key_id", std::string_view(key.id));
    o.str("key_type", sign::key_type_name(key.type));
  }
  return w.take();
}

PyObject* generate_key(KeygenCall& call) {
  const std::optional<sign::KeyType> type = sign::key_type_from_name(call.key_type);
  if (!type) {
    return raise_manifest_error(sign::issues::key_type_unknown(tamrel::quoted(call.key_type)));
  }
  return finish(without_lock([&] {
    return to_json(sign::generate_key(call.path, *type, call.password.get()), key_json);
  }));
}

// ---- sign_manifest(manifest, key, *, signature=None, password=None, <verify options>) ----

struct SignCall : verify::VerifyOptions {
  std::filesystem::path manifest;
  std::filesystem::path key;
  std::optional<std::filesystem::path> signature;
  Password password;
  std::optional<std::vector<std::filesystem::path>> certificate_chain;
};
constexpr Entry<SignCall, 8> kSignManifest{
    "sign_manifest",
    {{
        {"manifest", &SignCall::manifest},
        {"key", &SignCall::key},
        {"signature", &SignCall::signature},
        {"password", &SignCall::password},
        {"certificate_chain", &SignCall::certificate_chain},
        {"allow_absolute_paths", &SignCall::allow_absolute_paths},
        {"allow_path_escape", &SignCall::allow_path_escape},
        {"allow_duplicate_db_ids", &SignCall::allow_duplicate_db_ids},
    }},
    &SignCall::limits};

PyObject* sign_manifest(SignCall& call) {
  sign::SignOptions options;
  options.manifest = std::move(call.manifest);
  options.key = std::move(call.key);
  options.signature = std::move(call.signature);
  options.password = call.password.get();
  if (call.certificate_chain) options.certificate_chain = std::move(*call.certificate_chain);
  options.verify = call;
  std::string refused_report;
  const Result<std::string> result =
      without_lock([&] { return sign::sign_manifest_json(options, &refused_report); });
  if (!result.ok() && !refused_report.empty()) {
    return raise_refused(result.error(), refused_report);
  }
  return finish(result);
}

// ---- verify_signed_manifest(manifest, trusted_keys, *, signatures=None, threshold=1,
//      max_signature_bytes=None, load_plan=False, index=None, <verify options>) ----

// The trust options both verifications take beside the trusted keys.
struct CertificateArgs {
  std::optional<std::vector<std::filesystem::path>> trust_roots;
  std::optional<std::string> certificate_identity;
  std::optional<std::string> certificate_identity_regexp;
};

sign::CertificatePolicy policy_of(CertificateArgs& args) {
  sign::CertificatePolicy policy;
  if (args.trust_roots) policy.trust_roots = std::move(*args.trust_roots);
  policy.identity = std::move(args.certificate_identity);
  policy.identity_regexp = std::move(args.certificate_identity_regexp);
  return policy;
}

struct SignedVerifyCall : verify::VerifyOptions, CertificateArgs {
  std::filesystem::path manifest;
  std::vector<std::filesystem::path> trusted_keys;
  std::optional<std::vector<std::filesystem::path>> signatures;
  std::uint64_t threshold = 1;
  std::optional<std::uint64_t> max_signature_bytes;
  bool load_plan = false;
};
constexpr Entry<SignedVerifyCall, 13> kVerifySignedManifest{
    "verify_signed_manifest",
    {{
        {"manifest", &SignedVerifyCall::manifest},
        {"trusted_keys", &SignedVerifyCall::trusted_keys},
        {"signatures", &SignedVerifyCall::signatures},
        {"threshold", &SignedVerifyCall::threshold, "1"},
        {"max_signature_bytes", &SignedVerifyCall::max_signature_bytes},
        {"load_plan", &SignedVerifyCall::load_plan},
        {"index", &SignedVerifyCall::index},
        {"allow_absolute_paths", &SignedVerifyCall::allow_absolute_paths},
        {"allow_path_escape", &SignedVerifyCall::allow_path_escape},
        {"allow_duplicate_db_ids", &SignedVerifyCall::allow_duplicate_db_ids},
        {"trust_roots", &SignedVerifyCall::trust_roots},
        {"certificate_identity", &SignedVerifyCall::certificate_identity},
        {"certificate_identity_regexp", &SignedVerifyCall::certificate_identity_regexp},
    }},
    &SignedVerifyCall::limits};

PyObject* verify_signed_manifest(SignedVerifyCall& call) {
  sign::SignedVerifyOptions options;
  options.manifest = std::move(call.manifest);
  options.trusted_keys = std::move(call.trusted_keys);
  options.certificates = policy_of(call);
  if (call.signatures) options.signatures = std::move(*call.signatures);
  options.threshold = call.threshold;
  options.max_signature_bytes =
      call.max_signature_bytes.value_or(sign::DEFAULT_MAX_SIGNATURE_BYTES);
  options.load_plan = call.load_plan;
  options.verify = call;
  return finish(without_lock([&] { return sign::verify_signed_json(options); }));
}

// ---- verify_signature(path, signatures, *, trusted_keys=None, ignore_paths=None, threshold=1,
//      max_signature_bytes=None, max_entries=None, max_depth=None, max_bytes=None) ----

struct SignatureCall : CertificateArgs {
  std::filesystem::path path;
  std::vector<std::filesystem::path> signatures;
  std::optional<std::vector<std::filesystem::path>> trusted_keys;
  std::optional<std::vector<std::filesystem::path>> ignore_paths;
  std::uint64_t threshold = 1;
  std::optional<std::uint64_t> max_signature_bytes;
  std::optional<std::uint64_t> max_entries;
  std::optional<std::uint64_t> max_depth;
  std::optional<std::uint64_t> max_bytes;
};
constexpr Entry<SignatureCall, 12> kVerifySignature{
    "verify_signature",
    {{
        {"path", &SignatureCall::path},
        {"signatures", &SignatureCall::signatures},
        {"trusted_keys", &SignatureCall::trusted_keys},
        {"trust_roots", &SignatureCall::trust_roots},
        {"certificate_identity", &SignatureCall::certificate_identity},
        {"certificate_identity_regexp", &SignatureCall::certificate_identity_regexp},
        {"ignore_paths", &SignatureCall::ignore_paths},
        {"threshold", &SignatureCall::threshold, "1"},
        {"max_signature_bytes", &SignatureCall::max_signature_bytes},
        {"max_entries", &SignatureCall::max_entries},
        {"max_depth", &SignatureCall::max_depth},
        {"max_bytes", &SignatureCall::max_bytes},
    }}};

PyObject* verify_signature(SignatureCall& call) {
  sign::SignatureVerifyOptions options;
  options.path = std::move(call.path);
  options.signatures = std::move(call.signatures);
  if (call.trusted_keys) options.trusted_keys = std::move(*call.trusted_keys);
  options.certificates = policy_of(call);
  if (call.ignore_paths) {
    for (const std::filesystem::path& p : *call.ignore_paths) {
      options.ignore_paths.push_back(p.native());
    }
  }
  options.threshold = call.threshold;
  options.max_signature_bytes =
      call.max_signature_bytes.value_or(sign::DEFAULT_MAX_SIGNATURE_BYTES);
  options.walk.max_entries = call.max_entries.value_or(sign::DEFAULT_MAX_SIGNED_ENTRIES);
  options.walk.max_depth = call.max_depth.value_or(sign::DEFAULT_MAX_SIGNED_DEPTH);
  options.max_bytes = call.max_bytes.value_or(sign::DEFAULT_MAX_SIGNED_BYTES);
  return finish(without_lock([&] { return sign::verify_signature_json(options); }));
}

// ---- _bind_verified_manifest(manifest, signature, method, signer, *, payload, load_plan=False,
//      index=None, <verify options>) and _bind_verified_tree(path, signature, method, signer, *,
//      payload, ignore_paths=None, max_entries=None, max_depth=None, max_bytes=None): private ----
// The binding of a statement the Sigstore package verified, by the code every method binds
// through. The caller vouches for the payload: it is what that package verified, from the bytes
// the signature file read gave.

// The payload, a bytes object, copied while the lock is held. False with TypeError set.
bool payload_of(PyObject* obj, std::string& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (obj == nullptr || !PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "payload must be the bytes of the verified DSSE payload");
    return false;
  }
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

struct BindManifestCall : verify::VerifyOptions {
  std::filesystem::path manifest;
  std::filesystem::path signature;
  std::string method;
  std::string signer;
  PyObject* payload = nullptr;
  bool load_plan = false;
};
constexpr Entry<BindManifestCall, 10> kBindVerifiedManifest{
    "_bind_verified_manifest",
    {{
        {"manifest", &BindManifestCall::manifest},
        {"signature", &BindManifestCall::signature},
        {"method", &BindManifestCall::method},
        {"signer", &BindManifestCall::signer},
        {"payload", &BindManifestCall::payload},
        {"load_plan", &BindManifestCall::load_plan},
        {"index", &BindManifestCall::index},
        {"allow_absolute_paths", &BindManifestCall::allow_absolute_paths},
        {"allow_path_escape", &BindManifestCall::allow_path_escape},
        {"allow_duplicate_db_ids", &BindManifestCall::allow_duplicate_db_ids},
    }},
    &BindManifestCall::limits};

PyObject* bind_verified_manifest(BindManifestCall& call) {
  sign::VerifiedStatement verified{
      tamrel::path_display(call.signature), {}, call.method, call.signer};
  if (!payload_of(call.payload, verified.payload)) return nullptr;
  sign::SignedVerifyOptions options;
  options.manifest = std::move(call.manifest);
  options.load_plan = call.load_plan;
  options.verify = call;
  return finish(without_lock([&] { return sign::bind_verified_manifest_json(options, verified); }));
}

struct BindTreeCall {
  std::filesystem::path path;
  std::filesystem::path signature;
  std::string method;
  std::string signer;
  PyObject* payload = nullptr;
  std::optional<std::vector<std::filesystem::path>> ignore_paths;
  std::optional<std::uint64_t> max_entries;
  std::optional<std::uint64_t> max_depth;
  std::optional<std::uint64_t> max_bytes;
};
constexpr Entry<BindTreeCall, 9> kBindVerifiedTree{
    "_bind_verified_tree",
    {{
        {"path", &BindTreeCall::path},
        {"signature", &BindTreeCall::signature},
        {"method", &BindTreeCall::method},
        {"signer", &BindTreeCall::signer},
        {"payload", &BindTreeCall::payload},
        {"ignore_paths", &BindTreeCall::ignore_paths},
        {"max_entries", &BindTreeCall::max_entries},
        {"max_depth", &BindTreeCall::max_depth},
        {"max_bytes", &BindTreeCall::max_bytes},
    }}};

PyObject* bind_verified_tree(BindTreeCall& call) {
  sign::VerifiedStatement verified{
      tamrel::path_display(call.signature), {}, call.method, call.signer};
  if (!payload_of(call.payload, verified.payload)) return nullptr;
  sign::SignatureVerifyOptions options;
  options.path = std::move(call.path);
  if (call.ignore_paths) {
    for (const std::filesystem::path& p : *call.ignore_paths) {
      options.ignore_paths.push_back(p.native());
    }
  }
  options.walk.max_entries = call.max_entries.value_or(sign::DEFAULT_MAX_SIGNED_ENTRIES);
  options.walk.max_depth = call.max_depth.value_or(sign::DEFAULT_MAX_SIGNED_DEPTH);
  options.max_bytes = call.max_bytes.value_or(sign::DEFAULT_MAX_SIGNED_BYTES);
  return finish(without_lock([&] { return sign::bind_verified_tree_json(options, verified); }));
}

// ---- _verify_for_load_files(manifest, *, index=None, <verify options>): private ----
// verify_for_load on one read of the manifest, with the identity of every file the pass read,
// for open_verified to compare the files it opens with.

struct LoadFilesCall : verify::VerifyOptions {
  std::filesystem::path manifest;
};
constexpr Entry<LoadFilesCall, 5> kVerifyForLoadFiles{
    "_verify_for_load_files",
    {{
        {"manifest", &LoadFilesCall::manifest},
        {"index", &LoadFilesCall::index},
        {"allow_absolute_paths", &LoadFilesCall::allow_absolute_paths},
        {"allow_path_escape", &LoadFilesCall::allow_path_escape},
        {"allow_duplicate_db_ids", &LoadFilesCall::allow_duplicate_db_ids},
    }},
    &LoadFilesCall::limits};

PyObject* verify_for_load_files(LoadFilesCall& call) {
  return finish(
      without_lock([&] { return sign::verify_for_load_files_json(call.manifest, call); }));
}

// ---- module definition ----

PyMethodDef kMethods[] = {
    method<kGenerateKey, generate_key>(),
    method<kSignManifest, sign_manifest>(),
    method<kVerifySignedManifest, verify_signed_manifest>(),
    method<kVerifySignature, verify_signature>(),
    method<kBindVerifiedManifest, bind_verified_manifest>(),
    method<kBindVerifiedTree, bind_verified_tree>(),
    method<kVerifyForLoadFiles, verify_for_load_files>(),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (!prepare_bridge(PanicClass::Now)) return -1;
  const std::pair<const char*, std::uint64_t> limits[] = {
      {"DEFAULT_MAX_SIGNATURE_BYTES", sign::DEFAULT_MAX_SIGNATURE_BYTES},
      {"DEFAULT_MAX_SIGNED_ENTRIES", sign::DEFAULT_MAX_SIGNED_ENTRIES},
      {"DEFAULT_MAX_SIGNED_DEPTH", sign::DEFAULT_MAX_SIGNED_DEPTH},
      {"DEFAULT_MAX_SIGNED_BYTES", sign::DEFAULT_MAX_SIGNED_BYTES},
  };
  for (const auto& [name, value] : limits) {
    PyRef limit(PyLong_FromUnsignedLongLong(value));
    if (!limit || PyModule_AddObjectRef(module, name, limit.get()) != 0) return -1;
  }
  return 0;
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
