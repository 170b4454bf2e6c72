// The signature file: a Sigstore bundle (key method, no transparency log) holding a DSSE envelope
// whose payload is an in-toto Statement v1 with the model-signing predicate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"

namespace tamrel::sign {

inline constexpr std::string_view BUNDLE_MEDIA_TYPE =
    "application/vnd.dev.sigstore.bundle.v0.3+json";
inline constexpr std::string_view PAYLOAD_TYPE = "application/vnd.in-toto+json";
inline constexpr std::string_view STATEMENT_TYPE = "https://in-toto.io/Statement/v1";
inline constexpr std::string_view PREDICATE_TYPE = "https://model_signing/signature/v1.0";
inline constexpr std::uint64_t DEFAULT_MAX_SIGNATURE_BYTES = 1048576;

// One signed file: its path relative to the signed directory ("/" separators) and its SHA-256.
struct Resource {
  std::string name;
  std::string sha256;
};

struct Statement {
  std::string subject_name;
  std::vector<Resource> resources;        // in the statement's order, names normal
  std::vector<std::string> ignore_paths;  // normal
  bool allow_symlinks = false;
};

// A name as the model-signing tool reads it (Python's PurePosixPath): empty and "." components
// dropped, one root kept ("//" as POSIX keeps it), "." for nothing left.
std::string posix_normal(std::string_view name);

// The envelope as read: every member decoded, nothing verified yet.
struct Envelope {
  std::string payload;  // the statement's JSON bytes, which the signature covers through the PAE
  std::string signature;
  // Hints only, never trusted: the key is the trusted one, or the certificate's once it chains.
  std::string keyid;
  std::string public_key_hint;
  std::string public_key_raw;  // the tool's older bundles carry the PEM here (rawBytes)
  std::string key_details;
  // The certificate method: DER certificates, the leaf first; empty for the key method.
  std::vector<std::string> certificates;
};

// Orders resource names as the model-signing tool does (by path component), which also fixes
// the order of the subject digest.
bool resource_name_less(std::string_view a, std::string_view b);

// The statement's JSON text; the subject digest is the SHA-256 of the resources' digests, as
// bytes, in the order given.
std::string statement_json(const Statement& statement);

// DSSE's pre-authentication encoding of an in-toto payload.
std::string pae(std::string_view payload);

std::string base64_encode(std::string_view bytes);
// Standard alphabet, padded, canonical; false for anything else.
bool base64_decode(std::string_view text, std::string& out);

// The bundle's JSON text.
std::string bundle_json(const Envelope& envelope);

// Strict decoding. Errors: Context with the code of the refusal (bundle, base64, payload type,
// predicate), the message naming `shown` (the file as messages show it).
Result<Envelope> decode_bundle(std::string_view text, std::string_view shown);
// A single signed file is the resource "." (its path relative to itself, as the tool names it);
// only a check of one file takes that name.
Result<Statement> decode_statement(std::string_view payload, std::string_view shown,
                                   bool single_file = false);

}  // namespace tamrel::sign
