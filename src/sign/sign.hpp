// Signing a verified manifest, and verifying signatures before the manifest's files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/result.hpp"
#include "sign/bundle.hpp"
#include "sign/certs.hpp"
#include "sign/walk.hpp"
#include "verify/verify.hpp"

namespace tamrel::sign {

struct SignOptions {
  std::filesystem::path manifest;
  std::filesystem::path key;
  // The key's certificate, then the intermediates: the bundle carries them (leaf first) in
  // place of the key's hint.
  std::vector<std::filesystem::path> certificate_chain;
  std::optional<std::filesystem::path> signature;  // default: the manifest's path + ".sig"
  const std::string* password = nullptr;           // borrowed for the call; null: none
  verify::VerifyOptions verify;
};

// Verifies the manifest, then writes the signature over it and every file it pins. The JSON of
// what was signed. Errors: those of reading the key and the manifest; Invalid when
// verification fails (its report's JSON to `refused_report`) or a pinned file cannot be named
// in the signature; Io and Json from the write.
Result<std::string> sign_manifest_json(const SignOptions& options, std::string* refused_report);

struct SignedVerifyOptions {
  std::filesystem::path manifest;
  std::vector<std::filesystem::path> trusted_keys;
  CertificatePolicy certificates;                 // trust roots, and the identity that narrows them
  std::vector<std::filesystem::path> signatures;  // empty: the manifest's path + ".sig"
  std::uint64_t threshold = 1;
  std::uint64_t max_signature_bytes = DEFAULT_MAX_SIGNATURE_BYTES;
  bool load_plan = false;
  verify::VerifyOptions verify;
};

// {"report": the verification report with every refusal among its errors, "signature": the
// signature part, "plan": the load plan when asked for and the report passed, else null}.
// Signature refusals come before any pinned file is read. Errors: a trusted key that cannot be
// read, an impossible threshold, and the manifest's load errors.
Result<std::string> verify_signed_json(const SignedVerifyOptions& options);

// verify_for_load's worker on one read of the manifest, with the files the pass read:
// {"plan", "report" (of a refusal), "refusal" (its text), "files": [{path, device, inode, size,
// mtime_ns, ctime_ns}]}. Errors: those of load_manifest and the hand-over guards.
Result<std::string> verify_for_load_files_json(const std::filesystem::path& manifest,
                                               const verify::VerifyOptions& options);

struct SignatureVerifyOptions {
  std::filesystem::path path;  // a directory, or one file
  std::vector<std::filesystem::path> trusted_keys;
  CertificatePolicy certificates;
  std::vector<std::filesystem::path> signatures;  // at least one
  std::vector<std::string> ignore_paths;          // relative to the directory
  std::uint64_t threshold = 1;
  std::uint64_t max_signature_bytes = DEFAULT_MAX_SIGNATURE_BYTES;
  WalkLimits walk;
  std::uint64_t max_bytes = DEFAULT_MAX_SIGNED_BYTES;
};

// The signature layer alone, as the model-signing tool's verify takes it: every file present
// (unless ignored, by the caller or the signature) signed with the digest it has, and every
// signed file present. {"ok", "path", "kind", the signers, "files" hashed, "bytes", "ignored",
// "warnings", "errors"}; every refusal is among the errors. Errors: a trusted key that cannot
// be read, an impossible threshold, no signature, an ignore path outside the directory.
Result<std::string> verify_signature_json(const SignatureVerifyOptions& options);

// A statement whose signature was verified before the binding (by the Sigstore package): the
// DSSE payload it verified, the file it came from, and who signed it.
struct VerifiedStatement {
  std::string signature_path;
  std::string payload;
  std::string method;
  std::string signer;
};

// The binding alone, by the same code as the methods checked here: of a manifest (its digest
// before any pinned file is read, the pass, every pinned file; trust options in `options` are
// not read), or of a directory or file. Results and errors as verify_signed_json's and
// verify_signature_json's.
Result<std::string> bind_verified_manifest_json(const SignedVerifyOptions& options,
                                                const VerifiedStatement& verified);
Result<std::string> bind_verified_tree_json(const SignatureVerifyOptions& options,
                                            const VerifiedStatement& verified);

// The signature's default path beside the manifest.
std::filesystem::path default_signature_path(const std::filesystem::path& manifest);

}  // namespace tamrel::sign
