// The signature-file reader on arbitrary bytes: a clean refusal, or an envelope (certificates and
// key hints included) and statement that the writer reproduces exactly; base64 accepted only in
// its one canonical form; resource names read as the model-signing tool reads them (normal, one
// resource per name), none hidden by an ignored path; a file's reading of a statement no
// different from a directory's where both read it.
#include <cstdlib>
#include <string>
#include <string_view>

#include "sign/bundle.hpp"

namespace {

using tamrel::sign::Envelope;
using tamrel::sign::Statement;

bool same(const Envelope& a, const Envelope& b) {
  return a.payload == b.payload && a.signature == b.signature && a.keyid == b.keyid &&
         a.public_key_hint == b.public_key_hint && a.public_key_raw == b.public_key_raw &&
         a.key_details == b.key_details && a.certificates == b.certificates;
}

bool same(const Statement& a, const Statement& b) {
  if (a.subject_name != b.subject_name || a.ignore_paths != b.ignore_paths ||
      a.allow_symlinks != b.allow_symlinks || a.resources.size() != b.resources.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.resources.size(); ++i) {
    if (a.resources[i].name != b.resources[i].name ||
        a.resources[i].sha256 != b.resources[i].sha256) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string decoded;
  if (tamrel::sign::base64_decode(input, decoded) &&
      tamrel::sign::base64_encode(decoded) != input) {
    std::abort();
  }
  auto envelope = tamrel::sign::decode_bundle(input, "fuzz");
  if (!envelope) {
    if (envelope.error().code.empty()) std::abort();  // every refusal carries its code
    return 0;
  }
  auto again = tamrel::sign::decode_bundle(tamrel::sign::bundle_json(*envelope), "fuzz");
  if (!again || !same(*envelope, *again)) std::abort();
  // A statement over one file reads as the same statement with "." allowed, or is refused.
  auto single = tamrel::sign::decode_statement(envelope->payload, "fuzz", true);
  auto statement = tamrel::sign::decode_statement(envelope->payload, "fuzz");
  if (statement && (!single || !same(*statement, *single))) std::abort();
  if (!statement) return 0;
  auto restated = tamrel::sign::decode_statement(tamrel::sign::statement_json(*statement), "fuzz");
  if (!restated || !same(*statement, *restated)) std::abort();
  for (std::size_t i = 0; i < statement->resources.size(); ++i) {
    const std::string& name = statement->resources[i].name;
    if (tamrel::sign::posix_normal(name) != name) std::abort();
    for (std::size_t j = 0; j < i; ++j) {
      if (statement->resources[j].name == name) std::abort();
    }
    for (const std::string& ignored : statement->ignore_paths) {
      if (name == ignored || (name.starts_with(ignored) && name[ignored.size()] == '/')) {
        std::abort();
      }
    }
  }
  return 0;
}
