// The certificate method: chains to the caller's trust roots, checked by libcrypto at the
// current time, the leaf's code-signing usage and identity, and the key the leaf holds.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "sign/keys.hpp"

namespace tamrel::sign {

// A subject alternative name longer than this never matches an identity policy: no signer's
// e-mail or URI is that long, and a regular expression is not run over untrusted megabytes.
inline constexpr std::size_t MAX_IDENTITY_BYTES = 1024;

struct CertificatePolicy {
  std::vector<std::filesystem::path> trust_roots;
  std::optional<std::string> identity;         // a SAN, exactly
  std::optional<std::string> identity_regexp;  // a SAN, fully matched
};

// The trust roots and the identity policy, read once for a verification.
class TrustStore {
 public:
  struct State;
  TrustStore();
  TrustStore(TrustStore&&) noexcept;
  TrustStore& operator=(TrustStore&&) noexcept;
  ~TrustStore();
  [[nodiscard]] bool empty() const;
  std::unique_ptr<State> state;
};

// Errors (usage): an identity without trust roots, both identity forms, an empty identity, a
// regular expression that does not compile, a trust root file that holds no certificate.
Result<TrustStore> load_trust(const CertificatePolicy& policy);

// What a certificate signature proved: the leaf's key and who the leaf names.
struct CertifiedSigner {
  Key key;
  std::string subject;
  std::string issuer;
  std::vector<std::string> identities;  // e-mail and URI SANs, in the certificate's order
  std::string identity;                 // the one the policy matched (else the first, or subject)
  std::string root;                     // the subject of the trust root it chains to
};

// The chain (DER, leaf first) checked against the store. Errors: Context with the refusal's code
// and a message naming what was expected and what was found; `shown` is the signature file.
Result<CertifiedSigner> check_certificates(const TrustStore& store,
                                           const std::vector<std::string>& chain,
                                           std::string_view shown);

// The certificates of PEM files in order (several per file allowed), as DER, for signing: the
// first is the leaf and must hold `key`'s public key. Errors: Invalid.
Result<std::vector<std::string>> read_certificate_chain(
    const std::vector<std::filesystem::path>& files, const Key& key);

}  // namespace tamrel::sign
