// Keys through OpenSSL's EVP interface: PEM in and out, the two key types, sign and verify.
#include "sign/keys.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "base/fd.hpp"
#include "base/text.hpp"
#include "io/digest.hpp"
#include "io/file.hpp"
#include "model/writer.hpp"
#include "sign/issues.hpp"

namespace tamrel::sign {
namespace fs = std::filesystem;

namespace {

// PEM key files are small; anything larger is not a key.
constexpr std::uint64_t MAX_KEY_FILE_BYTES = 65536;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The library's reason for the last failure, and its error queue emptied.
std::string openssl_reason() {
  const unsigned long err = ERR_peek_last_error();
  std::string text =
      err != 0 ? ERR_reason_error_string(err) ? ERR_reason_error_string(err) : "unknown error"
               : "not a PEM key";
  ERR_clear_error();
  return text;
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Hands the password to the PEM reader; without one an encrypted key fails instead of asking on
// the terminal.
int password_callback(char* buf, int size, int /*rwflag*/, void* u) {
  const auto* password = static_cast<const std::string*>(u);
  if (password == nullptr || password->size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buf, password->data(), password->size());
  return static_cast<int>(password->size());
}

// The type, id and hint of a key that has been read or made.
Result<Key> describe(PkeyPtr pkey, std::string path) {
  Key key;
  const std::string shown = quoted(path);
  if (EVP_PKEY_is_a(pkey.get(), "ED25519") == 1) {
    key.type = KeyType::Ed25519;
  } else if (EVP_PKEY_is_a(pkey.get(), "EC") == 1) {
    char group[64] = {};
    std::size_t len = 0;
    if (EVP_PKEY_get_utf8_string_param(pkey.get(), "group", group, sizeof group, &len) != 1 ||
        std::string_view(group) != "prime256v1") {
      return issues::key_type_unsupported(shown, fmt::format("an EC key on curve {}", group));
    }
    key.type = KeyType::EcdsaP256;
  } else {
    return issues::key_type_unsupported(shown, EVP_PKEY_get0_type_name(pkey.get()));
  }
  unsigned char* der = nullptr;
  const int der_len = i2d_PUBKEY(pkey.get(), &der);
  if (der_len <= 0) return issues::key_unreadable(shown, openssl_reason());
  key.id = io::sha256_hex(std::string_view(reinterpret_cast<const char*>(der), der_len));
  OPENSSL_free(der);
  BioPtr pem(BIO_new(BIO_s_mem()));
  if (!pem || PEM_write_bio_PUBKEY(pem.get(), pkey.get()) != 1) {
    return issues::key_unreadable(shown, openssl_reason());
  }
  key.hint = io::sha256_hex(bio_text(pem.get()));
  key.pkey = std::move(pkey);
  key.path = std::move(path);
  return key;
}

Result<BioPtr> read_key_file(const fs::path& path) {
  auto text = io::bounded_read(path, MAX_KEY_FILE_BYTES, "key_file_too_large", "key file",
                               io::Origin::Caller);
  if (!text) return issues::key_unreadable(quoted(path_display(path)), text.error().message);
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || BIO_write(bio.get(), text->data(), static_cast<int>(text->size())) < 0) {
    return issues::key_unreadable(quoted(path_display(path)), openssl_reason());
  }
  return bio;
}

// Writes text to a new file (never over an existing one), flushed before it is closed.
Status write_new_file(const fs::path& path, const std::string& text, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) {
    if (errno == EEXIST) return issues::key_exists(quoted(path_display(path)));
    return ManifestError::from_errno(errno);
  }
  TAMREL_CHECK(model::write_all(fd.get(), text));
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return ManifestError::from_errno(errno);
  if (const int err = fd.reset(); err != 0) return ManifestError::from_errno(err);
  return {};
}

}  // namespace

void PkeyFree::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

std::string_view key_type_name(KeyType type) {
  return type == KeyType::Ed25519 ? "ed25519" : "ecdsa-p256";
}

std::optional<KeyType> key_type_from_name(std::string_view name) {
  if (name == "ecdsa-p256") return KeyType::EcdsaP256;
  if (name == "ed25519") return KeyType::Ed25519;
  return std::nullopt;
}

Result<Key> read_private_key(const fs::path& path, const std::optional<std::string>& password) {
  TAMREL_TRY(BioPtr bio, read_key_file(path));
  void* u = password ? const_cast<std::string*>(&*password) : nullptr;
  PkeyPtr pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, password_callback, u));
  if (!pkey) {
    const std::string reason = openssl_reason();
    return issues::key_unreadable(quoted(path_display(path)),
                                  password ? reason
                                           : reason +
                                                 " (an encrypted key needs its password: "
                                                 "--key-password-env NAME)");
  }
  return describe(std::move(pkey), path_display(path));
}

Result<Key> read_public_key(const fs::path& path) {
  TAMREL_TRY(BioPtr bio, read_key_file(path));
  PkeyPtr pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!pkey) return issues::key_unreadable(quoted(path_display(path)), openssl_reason());
  return describe(std::move(pkey), path_display(path));
}

Result<Key> generate_key(const fs::path& path, KeyType type,
                         const std::optional<std::string>& password) {
  fs::path pub = path;
  pub += ".pub";
  for (const fs::path& p : {path, pub}) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0) return issues::key_exists(quoted(path_display(p)));
  }
  PkeyPtr pkey(type == KeyType::Ed25519 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")
                                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!pkey) return ManifestError::invalid("key generation failed: " + openssl_reason());
  BioPtr priv(BIO_new(BIO_s_mem()));
  BioPtr pub_pem(BIO_new(BIO_s_mem()));
  const EVP_CIPHER* cipher = password ? EVP_aes_256_cbc() : nullptr;
  if (!priv || !pub_pem ||
      PEM_write_bio_PKCS8PrivateKey(
          priv.get(), pkey.get(), cipher, password ? const_cast<char*>(password->data()) : nullptr,
          password ? static_cast<int>(password->size()) : 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_PUBKEY(pub_pem.get(), pkey.get()) != 1) {
    return ManifestError::invalid("key generation failed: " + openssl_reason());
  }
  TAMREL_CHECK(write_new_file(path, bio_text(priv.get()), 0600));
  TAMREL_CHECK(write_new_file(pub, bio_text(pub_pem.get()), 0644));
  return describe(std::move(pkey), path_display(path));
}

Result<std::string> sign_bytes(const Key& key, std::string_view message) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  const EVP_MD* md = key.type == KeyType::Ed25519 ? nullptr : EVP_sha256();
  std::size_t len = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key.pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &len, data, message.size()) != 1) {
    return ManifestError::invalid("signing failed: " + openssl_reason());
  }
  std::string sig(len, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, data,
                     message.size()) != 1) {
    return ManifestError::invalid("signing failed: " + openssl_reason());
  }
  sig.resize(len);
  return sig;
}

bool verify_bytes(const Key& key, std::string_view message, std::string_view signature) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  const EVP_MD* md = key.type == KeyType::Ed25519 ? nullptr : EVP_sha256();
  const bool ok =
      ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.pkey.get()) == 1 &&
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace tamrel::sign
