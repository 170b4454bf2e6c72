// Certificate chains through libcrypto's own verifier; nothing of the chain is checked by hand.
#include "sign/certs.hpp"

#include <algorithm>
#include <regex>
#include <utility>

#include <fmt/format.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "base/text.hpp"
#include "io/digest.hpp"
#include "sign/issues.hpp"

namespace tamrel::sign {
namespace fs = std::filesystem;

namespace {

// Trust roots are a handful of certificates; a larger file is not one.
constexpr std::uint64_t MAX_TRUST_ROOT_BYTES = 1048576;

struct X509Free {
  void operator()(X509* c) const { X509_free(c); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
struct NamesFree {
  void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

std::string reason() {
  const unsigned long err = ERR_peek_last_error();
  const char* text = err != 0 ? ERR_reason_error_string(err) : nullptr;
  ERR_clear_error();
  return text != nullptr ? text : "not a certificate";
}

std::string name_text(const X509_NAME* name) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return "?";
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return utf8_lossy(std::string_view(data, n > 0 ? static_cast<std::size_t>(n) : 0));
}

// The certificates of PEM text, in order.
Result<std::vector<X509Ptr>> pem_certificates(const fs::path& path) {
  const std::string shown = quoted(path_display(path));
  auto text = io::bounded_read(path, MAX_TRUST_ROOT_BYTES, "certificate_file_too_large",
                               "certificate file", io::Origin::Caller);
  if (!text) return issues::certificate_unreadable(shown, text.error().message);
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  std::vector<X509Ptr> out;
  while (bio) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) break;
    out.push_back(std::move(cert));
  }
  ERR_clear_error();
  if (out.empty()) return issues::certificate_unreadable(shown, "it holds no PEM certificate");
  return out;
}

X509Ptr from_der(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  // Trailing bytes after the certificate are not a certificate either.
  if (cert && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) cert.reset();
  return cert;
}

// The e-mail and URI names of the leaf; one with a NUL inside names nothing.
std::vector<std::string> identities_of(X509* leaf) {
  std::vector<std::string> out;
  std::unique_ptr<GENERAL_NAMES, NamesFree> names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(leaf, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return out;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(names.get(), i);
    const ASN1_IA5STRING* s = nullptr;
    if (g->type == GEN_EMAIL) s = g->d.rfc822Name;
    if (g->type == GEN_URI) s = g->d.uniformResourceIdentifier;
    if (s == nullptr) continue;
    const std::string value(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                            static_cast<std::size_t>(ASN1_STRING_length(s)));
    if (value.find('\0') == std::string::npos) out.push_back(value);
  }
  return out;
}

}  // namespace

struct TrustStore::State {
  std::unique_ptr<X509_STORE, StoreFree> store;
  std::vector<std::string> root_subjects;
  std::optional<std::string> identity;
  std::optional<std::string> pattern;
  std::optional<std::regex> regexp;
};

TrustStore::TrustStore() = default;
TrustStore::TrustStore(TrustStore&&) noexcept = default;
TrustStore& TrustStore::operator=(TrustStore&&) noexcept = default;
TrustStore::~TrustStore() = default;
bool TrustStore::empty() const { return !state; }

Result<TrustStore> load_trust(const CertificatePolicy& policy) {
  const bool narrowed = policy.identity || policy.identity_regexp;
  if (narrowed && policy.trust_roots.empty()) return issues::identity_without_roots();
  if (policy.identity && policy.identity_regexp) return issues::identity_both();
  if ((policy.identity && policy.identity->empty()) ||
      (policy.identity_regexp && policy.identity_regexp->empty())) {
    return issues::identity_empty();
  }
  TrustStore out;
  if (policy.trust_roots.empty()) return out;
  auto state = std::make_unique<TrustStore::State>();
  state->store.reset(X509_STORE_new());
  if (!state->store) return ManifestError::invalid("cannot make a certificate store: " + reason());
  for (const fs::path& path : policy.trust_roots) {
    TAMREL_TRY(std::vector<X509Ptr> certs, pem_certificates(path));
    for (X509Ptr& c : certs) {
      state->root_subjects.push_back(name_text(X509_get_subject_name(c.get())));
      if (X509_STORE_add_cert(state->store.get(), c.get()) != 1) ERR_clear_error();
    }
  }
  state->identity = policy.identity;
  if (policy.identity_regexp) {
    // std::regex reports a bad pattern by throwing; it stops here as a value.
    try {
      state->regexp.emplace(*policy.identity_regexp, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      return issues::identity_regexp_invalid(quoted(*policy.identity_regexp), e.what());
    }
    state->pattern = policy.identity_regexp;
  }
  out.state = std::move(state);
  return out;
}

namespace {

bool matches(const TrustStore::State& s, const std::string& name) {
  if (s.identity) return name == *s.identity;
  if (!s.regexp) return true;
  if (name.size() > MAX_IDENTITY_BYTES) return false;
  try {
    return std::regex_match(name, *s.regexp);
  } catch (const std::regex_error&) {
    return false;  // too complex to decide is no match
  }
}

}  // namespace

Result<CertifiedSigner> check_certificates(const TrustStore& trust,
                                           const std::vector<std::string>& chain,
                                           std::string_view shown) {
  const TrustStore::State& s = *trust.state;
  std::vector<X509Ptr> certs;
  for (const std::string& der : chain) {
    X509Ptr c = from_der(der);
    if (!c) return issues::signature_certificate_invalid.error(shown, reason());
    certs.push_back(std::move(c));
  }
  X509* leaf = certs.front().get();
  CertifiedSigner out;
  out.subject = name_text(X509_get_subject_name(leaf));
  out.issuer = name_text(X509_get_issuer_name(leaf));
  const std::string subject = quoted(out.subject);
  std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
  for (std::size_t i = 1; i < certs.size(); ++i) {
    if (!untrusted || sk_X509_push(untrusted.get(), certs[i].get()) == 0) {
      return ManifestError::invalid("cannot build the certificate chain: " + reason());
    }
    certs[i].release();
  }
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  // At the current time (the default): an expired leaf no longer proves anything.
  if (!ctx || X509_STORE_CTX_init(ctx.get(), s.store.get(), leaf, untrusted.get()) != 1) {
    return ManifestError::invalid("cannot check the certificate chain: " + reason());
  }
  if (X509_verify_cert(ctx.get()) != 1) {
    const int err = X509_STORE_CTX_get_error(ctx.get());
    std::string roots;
    for (const std::string& r : s.root_subjects) {
      roots += roots.empty() ? "" : ", ";
      roots += quoted(r);
    }
    ERR_clear_error();
    return issues::signature_certificate_untrusted.error(subject, quoted(out.issuer), shown, roots,
                                                         X509_verify_cert_error_string(err));
  }
  STACK_OF(X509)* verified = X509_STORE_CTX_get0_chain(ctx.get());
  const int depth = verified != nullptr ? sk_X509_num(verified) : 0;
  if (depth > 0) {
    out.root = name_text(X509_get_subject_name(sk_X509_value(verified, depth - 1)));
  }
  if ((X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) == 0 ||
      (X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) == 0) {
    return issues::signature_certificate_not_code_signing.error(subject, shown);
  }
  out.identities = identities_of(leaf);
  if (s.identity || s.regexp) {
    const auto hit = std::find_if(out.identities.begin(), out.identities.end(),
                                  [&](const std::string& n) { return matches(s, n); });
    if (hit == out.identities.end()) {
      std::string found;
      for (const std::string& n : out.identities) {
        found += found.empty() ? "" : ", ";
        found += quoted(n);
      }
      const std::string expected =
          s.identity ? quoted(*s.identity) : fmt::format("a full match of {}", quoted(*s.pattern));
      return issues::signature_certificate_identity_mismatch.error(
          subject, shown, found.empty() ? std::string("no e-mail or URI") : found, expected);
    }
    out.identity = *hit;
  } else {
    out.identity = out.identities.empty() ? out.subject : out.identities.front();
  }
  TAMREL_TRY(out.key, public_key_of(PkeyPtr(X509_get_pubkey(leaf)),
                                    fmt::format("of the certificate {}", subject)));
  return out;
}

Result<std::vector<std::string>> read_certificate_chain(const std::vector<fs::path>& files,
                                                        const Key& key) {
  std::vector<std::string> out;
  for (const fs::path& path : files) {
    TAMREL_TRY(std::vector<X509Ptr> certs, pem_certificates(path));
    for (const X509Ptr& c : certs) {
      if (out.empty() && EVP_PKEY_eq(X509_get0_pubkey(c.get()), key.pkey.get()) != 1) {
        ERR_clear_error();
        return issues::sign_certificate_key_mismatch(quoted(path_display(path)), quoted(key.path));
      }
      unsigned char* der = nullptr;
      const int n = i2d_X509(c.get(), &der);
      if (n <= 0) return issues::certificate_unreadable(quoted(path_display(path)), reason());
      out.emplace_back(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n));
      OPENSSL_free(der);
    }
  }
  return out;
}

}  // namespace tamrel::sign
