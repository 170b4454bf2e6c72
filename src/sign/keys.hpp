// Signing keys: reading PEM keys, their ids, generating key pairs, and the signature primitive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.hpp"

struct evp_pkey_st;

namespace tamrel::sign {

// ECDSA on the curves the model-signing tool reads, each with the hash it pairs with it (SHA-256,
// SHA-384, SHA-512); Ed25519 (pure).
enum class KeyType : std::uint8_t { EcdsaP256, EcdsaP384, EcdsaP521, Ed25519 };

// "ecdsa-p256", "ecdsa-p384", "ecdsa-p521", "ed25519": the names of keygen's --type and of the
// result's key_type.
std::string_view key_type_name(KeyType type);
std::optional<KeyType> key_type_from_name(std::string_view name);

struct PkeyFree {
  void operator()(evp_pkey_st* key) const;
};
using PkeyPtr = std::unique_ptr<evp_pkey_st, PkeyFree>;

// A key of one of the types, with what names it.
struct Key {
  PkeyPtr pkey;
  KeyType type = KeyType::EcdsaP256;
  std::string id;    // lowercase hex SHA-256 of the SubjectPublicKeyInfo DER
  std::string hint;  // lowercase hex SHA-256 of the SubjectPublicKeyInfo PEM text
  std::string path;  // as given, for messages
};

// A PEM private key (PKCS#8, encrypted ones with the password). Errors: Invalid.
// password: null for none.
Result<Key> read_private_key(const std::filesystem::path& path, const std::string* password);
// A public key taken from elsewhere (a certificate), described as a key file's would be: its
// type, canonical id and hint; `shown` names it in messages. Errors: Invalid (an unsupported type
// or curve).
Result<Key> public_key_of(PkeyPtr pkey, std::string shown);
// A PEM SubjectPublicKeyInfo. Errors: Invalid.
Result<Key> read_public_key(const std::filesystem::path& path);

// A new key pair: the private key to path (PKCS#8 PEM, mode 0600, encrypted when a password is
// given: AES-256-CBC under PBKDF2-HMAC-SHA256, 600,000 iterations), the public key to path +
// ".pub"; neither may exist. A password is not empty and at most 1024 bytes (what the reader
// can take). Errors: Invalid, Io.
Result<Key> generate_key(const std::filesystem::path& path, KeyType type,
                         const std::string* password);

// The signature over message: ECDSA (DER) with its curve's hash, or pure Ed25519.
Result<std::string> sign_bytes(const Key& key, std::string_view message);
bool verify_bytes(const Key& key, std::string_view message, std::string_view signature);

}  // namespace tamrel::sign
