// Writing and strictly reading the signature file.
#include "sign/bundle.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <map>
#include <set>
#include <utility>

#include <fmt/format.h>
#include <openssl/evp.h>

#include "base/text.hpp"
#include "io/digest.hpp"
#include "model/reader.hpp"
#include "model/writer.hpp"
#include "sign/issues.hpp"
#include "validate/predicates.hpp"

namespace tamrel::sign {
namespace {

using model::JsonValue;

// ---- reading: each object's members known, none repeated; each value of its one type ----

class Fields {
 public:
  const JsonValue* get(std::string_view name) const {
    for (const auto& [key, value] : found_) {
      if (key == name) return value;
    }
    return nullptr;
  }
  std::vector<std::pair<std::string_view, const JsonValue*>> found_;
};

class Decoder {
 public:
  explicit Decoder(std::string_view shown) : shown_(shown) {}

  ManifestError invalid(std::string why) const {
    return issues::signature_bundle_invalid.error(shown_, why);
  }

  // The members of `what`, an object. Unknown members are refused unless `open`.
  Result<Fields> object(const JsonValue* v, std::string_view what,
                        std::initializer_list<std::string_view> known, bool open = false) const {
    if (v == nullptr) return invalid(fmt::format("{} is missing", what));
    const model::JsonObject* obj = v->as_object();
    if (obj == nullptr) return invalid(fmt::format("{} is not an object", what));
    Fields fields;
    for (const auto& member : obj->members) {
      const std::string_view key(member.first);
      if (std::find(known.begin(), known.end(), key) == known.end()) {
        if (open) continue;
        return invalid(fmt::format("{} has the unknown member {}", what, quoted(key)));
      }
      if (fields.get(key) != nullptr) {
        return invalid(fmt::format("{} repeats the member {}", what, quoted(key)));
      }
      fields.found_.emplace_back(key, &member.second);
    }
    return fields;
  }

  Result<std::string_view> string(const Fields& f, std::string_view name,
                                  std::string_view what) const {
    const JsonValue* v = f.get(name);
    if (v == nullptr) return invalid(fmt::format("{}.{} is missing", what, name));
    const model::JsonString* s = v->as_string();
    if (s == nullptr) return invalid(fmt::format("{}.{} is not a string", what, name));
    return std::string_view(*s);
  }

  Result<const model::JsonArray*> array(const Fields& f, std::string_view name,
                                        std::string_view what) const {
    const JsonValue* v = f.get(name);
    if (v == nullptr) return invalid(fmt::format("{}.{} is missing", what, name));
    const model::JsonArray* a = v->as_array();
    if (a == nullptr) return invalid(fmt::format("{}.{} is not an array", what, name));
    return a;
  }

  Result<std::string> base64(const Fields& f, std::string_view name, std::string_view what) const {
    TAMREL_TRY(const std::string_view text, string(f, name, what));
    std::string out;
    if (!base64_decode(text, out)) {
      return issues::signature_base64_invalid.error(shown_, fmt::format("{}.{}", what, name));
    }
    return out;
  }

  // One JSON document, objects kept in reading order so that repeated members are seen.
  Result<JsonValue> document(std::string_view text, std::string_view what) const {
    model::detail::Reader reader(text);
    JsonValue value;
    if (!reader.parse_any(value, false) || !reader.end_document()) {
      return invalid(fmt::format("{} is not JSON: {}", what, reader.take_error().text()));
    }
    return value;
  }

  std::string_view shown_;
};

constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> base64_values() {
  std::array<std::int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(BASE64_ALPHABET[i])] = i;
  return values;
}
constexpr std::array<std::int8_t, 256> BASE64_VALUES = base64_values();

// The raw bytes of a lowercase hex digest (already checked).
void append_hex_bytes(std::string& out, std::string_view hex) {
  const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
}

std::string subject_digest(const std::vector<Resource>& resources) {
  io::Sha256 hash;
  std::string raw;
  for (const Resource& r : resources) {
    raw.clear();
    append_hex_bytes(raw, r.sha256);
    hash.update(raw);
  }
  return hash.finish_hex();
}

}  // namespace

std::string posix_normal(std::string_view name) {
  std::string out;
  if (name.starts_with("//") && !name.starts_with("///")) {
    out = "//";
  } else if (name.starts_with("/")) {
    out = "/";
  }
  const std::size_t root = out.size();
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (out.size() > root) out.push_back('/');
      out.append(part);
    }
    start = end + 1;
  }
  return out.empty() ? std::string(".") : out;
}

bool resource_name_less(std::string_view a, std::string_view b) {
  // Component-wise order is byte order with the separator below every other byte.
  const auto key = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return key(x) < key(y); });
}

std::string pae(std::string_view payload) {
  return fmt::format("DSSEv1 {} {} {} ", PAYLOAD_TYPE.size(), PAYLOAD_TYPE, payload.size())
      .append(payload);
}

std::string base64_encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

bool base64_decode(std::string_view text, std::string& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t group = 0;
    int pad = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (c == '=' && last && j >= 2) {
        ++pad;
        group <<= 6;
        continue;
      }
      const std::int8_t v = BASE64_VALUES[static_cast<unsigned char>(c)];
      if (v < 0 || pad > 0) return false;
      group = group << 6 | static_cast<std::uint32_t>(v);
    }
    // Padding leaves bits that must be zero in the canonical form.
    if ((pad == 1 && (group & 0xff) != 0) || (pad == 2 && (group & 0xffff) != 0)) return false;
    out.push_back(static_cast<char>(group >> 16));
    if (pad < 2) out.push_back(static_cast<char>(group >> 8 & 0xff));
    if (pad < 1) out.push_back(static_cast<char>(group & 0xff));
  }
  return true;
}

std::string statement_json(const Statement& statement) {
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    o.str("_type", STATEMENT_TYPE);
    {
      model::JsonWriter& subjects = o.key("subject");
      subjects.begin_array();
      subjects.element();
      model::ObjectWriter subject(subjects);
      subject.str("name", std::string_view(statement.subject_name));
      model::ObjectWriter digest(subject.key("digest"));
      digest.str("sha256", std::string_view(subject_digest(statement.resources)));
    }
    w.end_array();
    o.str("predicateType", PREDICATE_TYPE);
    model::ObjectWriter predicate(o.key("predicate"));
    {
      model::ObjectWriter serialization(predicate.key("serialization"));
      serialization.str("method", std::string_view("files"));
      serialization.str("hash_type", std::string_view("sha256"));
      serialization.boolean("allow_symlinks", statement.allow_symlinks);
      model::write_array(serialization.key("ignore_paths"), statement.ignore_paths,
                         [](model::JsonWriter& aw, const std::string& p) { aw.string(p); });
    }
    model::write_array(predicate.key("resources"), statement.resources,
                       [](model::JsonWriter& aw, const Resource& r) {
                         model::ObjectWriter item(aw);
                         item.str("name", std::string_view(r.name));
                         item.str("algorithm", std::string_view("sha256"));
                         item.str("digest", std::string_view(r.sha256));
                       });
  }
  return w.take();
}

std::string bundle_json(const Envelope& envelope) {
  model::JsonWriter w(model::JsonWriter::Layout::Pretty);
  {
    model::ObjectWriter o(w);
    o.str("mediaType", BUNDLE_MEDIA_TYPE);
    {
      model::ObjectWriter material(o.key("verificationMaterial"));
      if (!envelope.certificates.empty()) {
        model::ObjectWriter chain(material.key("x509CertificateChain"));
        model::write_array(chain.key("certificates"), envelope.certificates,
                           [](model::JsonWriter& aw, const std::string& der) {
                             model::ObjectWriter cert(aw);
                             cert.str("rawBytes", std::string_view(base64_encode(der)));
                           });
      } else {
        model::ObjectWriter key(material.key("publicKey"));
        if (!envelope.public_key_hint.empty() || envelope.public_key_raw.empty()) {
          key.str("hint", std::string_view(envelope.public_key_hint));
        }
        if (!envelope.public_key_raw.empty()) {
          key.str("rawBytes", std::string_view(base64_encode(envelope.public_key_raw)));
        }
        if (!envelope.key_details.empty()) {
          key.str("keyDetails", std::string_view(envelope.key_details));
        }
      }
      material.key("tlogEntries").begin_array();
      w.end_array();
    }
    model::ObjectWriter dsse(o.key("dsseEnvelope"));
    dsse.str("payload", std::string_view(base64_encode(envelope.payload)));
    dsse.str("payloadType", PAYLOAD_TYPE);
    model::JsonWriter& sigs = dsse.key("signatures");
    sigs.begin_array();
    sigs.element();
    {
      model::ObjectWriter sig(sigs);
      sig.str("sig", std::string_view(base64_encode(envelope.signature)));
      sig.str("keyid", std::string_view(envelope.keyid));
    }
    sigs.end_array();
  }
  std::string text = w.take();
  text.push_back('\n');
  return text;
}

Result<Envelope> decode_bundle(std::string_view text, std::string_view shown) {
  const Decoder d(shown);
  TAMREL_TRY(const JsonValue doc, d.document(text, "the file"));
  TAMREL_TRY(const Fields bundle,
             d.object(&doc, "the bundle", {"mediaType", "verificationMaterial", "dsseEnvelope"}));
  TAMREL_TRY(const std::string_view media, d.string(bundle, "mediaType", "bundle"));
  if (media != BUNDLE_MEDIA_TYPE) {
    return d.invalid(
        fmt::format("media type {}, expected {}", quoted(media), quoted(BUNDLE_MEDIA_TYPE)));
  }
  Envelope out;
  TAMREL_TRY(
      const Fields material,
      d.object(bundle.get("verificationMaterial"), "verificationMaterial",
               {"publicKey", "x509CertificateChain", "tlogEntries", "timestampVerificationData"}));
  const JsonValue* chain = material.get("x509CertificateChain");
  if ((material.get("publicKey") == nullptr) == (chain == nullptr)) {
    return d.invalid(
        "verificationMaterial names neither a public key nor a certificate chain, or both (only "
        "key-signed and certificate-signed bundles are read)");
  }
  if (chain != nullptr) {
    TAMREL_TRY(const Fields c,
               d.object(chain, "verificationMaterial.x509CertificateChain", {"certificates"}));
    TAMREL_TRY(const model::JsonArray* certs,
               d.array(c, "certificates", "verificationMaterial.x509CertificateChain"));
    if (certs->empty()) {
      return d.invalid("verificationMaterial.x509CertificateChain.certificates is empty");
    }
    for (const JsonValue& item : *certs) {
      TAMREL_TRY(const Fields cert, d.object(&item, "a certificate", {"rawBytes"}));
      TAMREL_TRY(std::string der, d.base64(cert, "rawBytes", "certificate"));
      out.certificates.push_back(std::move(der));
    }
  } else {
    TAMREL_TRY(const Fields public_key,
               d.object(material.get("publicKey"), "verificationMaterial.publicKey",
                        {"hint", "rawBytes", "keyDetails"}));
    if (const JsonValue* hint = public_key.get("hint"); hint != nullptr && !hint->is_null()) {
      TAMREL_TRY(const std::string_view h,
                 d.string(public_key, "hint", "verificationMaterial.publicKey"));
      out.public_key_hint = std::string(h);
    }
    if (public_key.get("rawBytes") != nullptr) {
      TAMREL_TRY(out.public_key_raw,
                 d.base64(public_key, "rawBytes", "verificationMaterial.publicKey"));
    }
    if (public_key.get("keyDetails") != nullptr) {
      TAMREL_TRY(const std::string_view details,
                 d.string(public_key, "keyDetails", "verificationMaterial.publicKey"));
      out.key_details = std::string(details);
    }
  }
  if (material.get("tlogEntries") != nullptr) {
    TAMREL_TRY(const model::JsonArray* tlog,
               d.array(material, "tlogEntries", "verificationMaterial"));
    (void)tlog;  // offline: a log entry proves nothing without the log
  }
  TAMREL_TRY(const Fields dsse, d.object(bundle.get("dsseEnvelope"), "dsseEnvelope",
                                         {"payload", "payloadType", "signatures"}));
  TAMREL_TRY(const std::string_view type, d.string(dsse, "payloadType", "dsseEnvelope"));
  if (type != PAYLOAD_TYPE) {
    return issues::signature_payload_type_unsupported.error(shown, quoted(type),
                                                            quoted(PAYLOAD_TYPE));
  }
  TAMREL_TRY(const model::JsonArray* sigs, d.array(dsse, "signatures", "dsseEnvelope"));
  if (sigs->size() != 1) {
    return d.invalid(fmt::format("dsseEnvelope.signatures holds {} signatures, a bundle holds one",
                                 sigs->size()));
  }
  TAMREL_TRY(const Fields sig,
             d.object(&sigs->front(), "dsseEnvelope.signatures[0]", {"sig", "keyid"}));
  TAMREL_TRY(out.signature, d.base64(sig, "sig", "dsseEnvelope.signatures[0]"));
  // The tool writes null for no key id.
  if (const JsonValue* given = sig.get("keyid"); given != nullptr && !given->is_null()) {
    TAMREL_TRY(const std::string_view keyid, d.string(sig, "keyid", "dsseEnvelope.signatures[0]"));
    out.keyid = std::string(keyid);
  }
  TAMREL_TRY(out.payload, d.base64(dsse, "payload", "dsseEnvelope"));
  return out;
}

Result<Statement> decode_statement(std::string_view payload, std::string_view shown,
                                   bool single_file) {
  const Decoder d(shown);
  TAMREL_TRY(const JsonValue doc, d.document(payload, "the payload"));
  TAMREL_TRY(const Fields st,
             d.object(&doc, "the statement", {"_type", "subject", "predicateType", "predicate"}));
  TAMREL_TRY(const std::string_view type, d.string(st, "_type", "statement"));
  if (type != STATEMENT_TYPE) {
    return issues::signature_predicate_unsupported.error(
        shown, fmt::format("statement type {}", quoted(type)),
        fmt::format("{}", quoted(STATEMENT_TYPE)));
  }
  TAMREL_TRY(const std::string_view predicate_type, d.string(st, "predicateType", "statement"));
  if (predicate_type != PREDICATE_TYPE) {
    return issues::signature_predicate_unsupported.error(
        shown, fmt::format("predicate type {}", quoted(predicate_type)),
        fmt::format("{}", quoted(PREDICATE_TYPE)));
  }
  Statement out;
  TAMREL_TRY(const model::JsonArray* subjects, d.array(st, "subject", "statement"));
  if (subjects->size() != 1) {
    return d.invalid(fmt::format("the statement has {} subjects, expected one", subjects->size()));
  }
  TAMREL_TRY(const Fields subject, d.object(&subjects->front(), "subject[0]", {"name", "digest"}));
  TAMREL_TRY(const std::string_view name, d.string(subject, "name", "subject[0]"));
  out.subject_name = std::string(name);
  TAMREL_TRY(const Fields digest,
             d.object(subject.get("digest"), "subject[0].digest", {"sha256"}, true));
  TAMREL_TRY(const std::string_view subject_sha256,
             d.string(digest, "sha256", "subject[0].digest"));

  // v1.0 verifiers ignore predicate members they do not know.
  TAMREL_TRY(const Fields predicate,
             d.object(st.get("predicate"), "predicate", {"serialization", "resources"}, true));
  TAMREL_TRY(const Fields serialization,
             d.object(predicate.get("serialization"), "predicate.serialization",
                      {"method", "hash_type", "allow_symlinks", "ignore_paths"}));
  TAMREL_TRY(const std::string_view method,
             d.string(serialization, "method", "predicate.serialization"));
  TAMREL_TRY(const std::string_view hash_type,
             d.string(serialization, "hash_type", "predicate.serialization"));
  if (method != "files" || hash_type != "sha256") {
    return d.invalid(
        fmt::format("serialization {} with {}; only whole files hashed with SHA-256 are read",
                    quoted(method), quoted(hash_type)));
  }
  // Read as the model-signing tool reads it: a member it requires, a bool here (it would take
  // a string's truth).
  const JsonValue* allow = serialization.get("allow_symlinks");
  if (allow == nullptr) return d.invalid("predicate.serialization.allow_symlinks is missing");
  const bool* allow_value = std::get_if<bool>(&allow->v);
  if (allow_value == nullptr) {
    return d.invalid("predicate.serialization.allow_symlinks is not a bool");
  }
  out.allow_symlinks = *allow_value;
  TAMREL_TRY(const model::JsonArray* resources, d.array(predicate, "resources", "predicate"));
  // Names as that tool reads them: two spellings of one file would be one file there (its last
  // digest) and two here, so one signature could mean two bundles.
  std::map<std::string, std::string_view> names;  // normal name -> as written
  for (const JsonValue& item : *resources) {
    TAMREL_TRY(const Fields r,
               d.object(&item, "a predicate resource", {"name", "algorithm", "digest"}));
    TAMREL_TRY(const std::string_view rname, d.string(r, "name", "resource"));
    TAMREL_TRY(const std::string_view algorithm, d.string(r, "algorithm", "resource"));
    TAMREL_TRY(const std::string_view rdigest, d.string(r, "digest", "resource"));
    if (algorithm != "sha256" || !validate::is_sha256_hex(rdigest)) {
      return d.invalid(
          fmt::format("resource {} is not a lowercase hex SHA-256 digest", quoted(rname)));
    }
    std::string normal = posix_normal(rname);
    if ((normal == "." && !single_file) || normal.front() == '/' ||
        rname.find('\0') != std::string_view::npos || normal == ".." || normal.starts_with("../") ||
        normal.ends_with("/..") || normal.find("/../") != std::string::npos) {
      return d.invalid(fmt::format("resource {} does not name a file inside the signed directory",
                                   quoted(rname)));
    }
    const auto [at, inserted] = names.emplace(normal, rname);
    if (!inserted) {
      if (at->second == rname) {
        return d.invalid(fmt::format("resource {} is listed twice", quoted(rname)));
      }
      return d.invalid(
          fmt::format("resources {} and {} name one file", quoted(at->second), quoted(rname)));
    }
    out.resources.push_back(Resource{std::move(normal), std::string(rdigest)});
  }
  if (serialization.get("ignore_paths") != nullptr) {
    TAMREL_TRY(const model::JsonArray* ignored,
               d.array(serialization, "ignore_paths", "predicate.serialization"));
    for (const JsonValue& p : *ignored) {
      const model::JsonString* s = p.as_string();
      if (s == nullptr) return d.invalid("predicate.serialization.ignore_paths holds a non-string");
      std::string normal = posix_normal(*s);
      // The tool skips whatever lies under an ignored path: one that holds a signed file (or
      // the whole directory) makes it a file the tool finds missing.
      if (normal == ".") {
        return d.invalid(fmt::format(
            "predicate.serialization.ignore_paths names the signed directory itself ({})",
            quoted(*s)));
      }
      for (const Resource& r : out.resources) {
        if (r.name == normal || (r.name.starts_with(normal) && r.name[normal.size()] == '/')) {
          return d.invalid(fmt::format(
              "predicate.serialization.ignore_paths names {}, which holds the signed file {}",
              quoted(*s), quoted(r.name)));
        }
      }
      out.ignore_paths.push_back(std::move(normal));
    }
  }
  if (subject_digest(out.resources) != subject_sha256) {
    return d.invalid("the subject digest does not match the resources");
  }
  return out;
}

}  // namespace tamrel::sign
