// The refusals of signing and signed verification: one row per code and message.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/issue.hpp"

namespace tamrel::sign::issues {

using report::Failure;
using report::Issue;
using report::IssueCode;
using Text = std::string_view;
using U64 = std::uint64_t;

// ---- reading a signature file ----
inline constexpr Issue<Text> signature_file_missing{
    "signature_file_missing",
    "no signature file at {}; sign the manifest with `tamrel-manifest sign` or name the file "
    "with --signature"};
inline constexpr Issue<Text, Text> signature_file_unreadable{
    "signature_file_unreadable", "failed to read signature file {}: {}"};
inline constexpr IssueCode signature_file_too_large = "signature_file_too_large";
inline constexpr Text SIGNATURE_FILE_LABEL = "signature file";
inline constexpr Issue<Text, Text> signature_bundle_invalid{
    "signature_bundle_invalid", "signature file {} is not a Sigstore bundle this tool reads: {}"};
inline constexpr Issue<Text, Text> signature_base64_invalid{
    "signature_base64_invalid", "signature file {} holds invalid base64 in {}"};
inline constexpr Issue<Text, Text, Text> signature_payload_type_unsupported{
    "signature_payload_type_unsupported",
    "signature file {} carries payload type {}; only {} is read"};
inline constexpr Issue<Text, Text, Text> signature_predicate_unsupported{
    "signature_predicate_unsupported", "signature file {} carries {}; only {} is read"};
// The reasons of signature_file_unreadable that the system's text would not say.
inline constexpr Text SIGNATURE_LINK_OUT =
    "it is a symbolic link that leads out of its directory, which is not followed";

// ---- who signed ----
inline constexpr Issue<Text, Text, Text> signature_untrusted_key{
    "signature_untrusted_key",
    "signature file {} does not verify with any trusted key (it names key {}; trusted key ids: "
    "{}); pass the signer's public key with --trusted-key if you trust it"};
inline constexpr Issue<U64, U64> signature_threshold_not_met{
    "signature_threshold_not_met",
    "distinct trusted signers: {}, the threshold is {}; add signature files with --signature"};

// ---- certificates ----
inline constexpr Issue<Text, Text> signature_certificate_invalid{
    "signature_certificate_invalid",
    "signature file {} holds a certificate that cannot be read: {}"};
inline constexpr Issue<Text, Text, Text, Text, Text> signature_certificate_untrusted{
    "signature_certificate_untrusted",
    "the certificate {} (issued by {}) in {} does not chain to a trust root (trust roots: {}): {}"};
inline constexpr Issue<Text, Text> signature_certificate_not_code_signing{
    "signature_certificate_not_code_signing",
    "the certificate {} in {} is not for code signing: its extended key usage must include "
    "codeSigning"};
inline constexpr Issue<Text, Text, Text, Text> signature_certificate_identity_mismatch{
    "signature_certificate_identity_mismatch", "the certificate {} in {} names {}; expected {}"};
inline constexpr Issue<Text, Text> signature_certificate_key_mismatch{
    "signature_certificate_key_mismatch",
    "the signature in {} does not verify with the key of its certificate {}"};

// ---- what was signed ----
inline constexpr Issue<Text, Text, Text> signature_manifest_changed{
    "signature_manifest_changed",
    "manifest {} has SHA-256 {} but the signature covers {}; it changed after signing"};
inline constexpr Issue<Text, Text> signature_file_unsigned{
    "signature_file_unsigned", "pinned file {} is not among the resources signed in {}"};
inline constexpr Issue<Text, Text> signature_file_missing_on_disk{
    "signature_file_missing_on_disk",
    "signed file {} is named by the manifest and signed in {}, but it is not on disk; a signed "
    "bundle is the signed set, whatever the manifest says of the file being optional: restore "
    "it, or create and sign the bundle again without it"};
inline constexpr Issue<Text, Text, Text, Text> signature_digest_mismatch{
    "signature_digest_mismatch",
    "pinned file {} was signed in {} with SHA-256 {}, verification measured {}"};

// ---- a signed directory or file, checked alone ----
inline constexpr Issue<Text, Text> signature_path_unreadable{
    "signature_path_unreadable", "cannot read {} to check its signature: {}"};
inline constexpr Issue<Text, Text> signature_unsigned_file{
    "signature_unsigned_file",
    "{} is present but not signed in {}; a signature covers every file present: remove it, or "
    "ignore it (ignore_paths) if it is not part of what was signed"};
inline constexpr Issue<Text, Text> signature_signed_file_absent{
    "signature_signed_file_absent", "{} is signed in {} but not present"};
inline constexpr Issue<Text, Text, Text, Text> signature_file_changed{
    "signature_file_changed", "{} was signed in {} with SHA-256 {}, it now has SHA-256 {}"};
inline constexpr Issue<Text, Text> signature_link_not_allowed{
    "signature_link_not_allowed",
    "{} is a symbolic link and {} says allow_symlinks false; the link is not followed"};
inline constexpr Issue<Text, Text> signature_entry_unreadable{"signature_entry_unreadable",
                                                              "cannot check {}: {}"};
inline constexpr Issue<Text> signature_name_not_utf8{
    "signature_name_not_utf8",
    "the file name {} is not UTF-8; a signature names files in UTF-8, so it signs no such file"};
inline constexpr Issue<Text, Text> signature_tree_too_large{
    "signature_tree_too_large",
    "{} holds {}; a signed tree is read under bounds like all untrusted storage: raise the "
    "limit if you trust its size"};
inline constexpr Text SIGNED_FILES_LABEL = "signed files";
inline constexpr Issue<Text, Text, Text> signature_ignored_signed_file{
    "signature_ignored_signed_file",
    "ignore path {} holds {}, which {} signs; a signed file is always checked, so ignore only "
    "what was not signed"};
inline constexpr Issue<Text, Text, U64> signature_not_of_a_file{
    "signature_not_of_a_file",
    "{} is one file, but {} signs a directory of {} files; check the directory instead"};
inline constexpr Failure<Text> ignore_path_invalid{
    "ignore path {} does not name an entry inside the checked directory; give it relative to "
    "that directory"};
inline constexpr Failure<> no_signature_given{
    "no signature file given: name it (the model-signing tool's default is model.sig)"};

// ---- signing ----
inline constexpr Failure<Text> sign_verification_failed{
    "{}; a bundle that fails verification is not signed"};
inline constexpr Failure<U64> threshold_invalid{
    "threshold {} is not possible: it counts trusted keys, at least 1 and at most their number"};
inline constexpr Failure<> no_trusted_keys{
    "no trusted key given: name the signer's public key with --trusted-key, or the CA its "
    "certificate chains to with --trust-root"};
inline constexpr Failure<> identity_without_roots{
    "a certificate identity narrows trust in certificates: name the CA with --trust-root "
    "(trust_roots=) too"};
inline constexpr Failure<> identity_both{
    "give the certificate identity exactly or as a regular expression, not both"};
inline constexpr Failure<> identity_empty{
    "the certificate identity is empty; name the signer's e-mail address or URI"};
inline constexpr Failure<Text, Text> identity_regexp_invalid{
    "the certificate identity regular expression {} does not compile: {}"};
inline constexpr Failure<Text, Text> certificate_unreadable{"cannot read certificate {}: {}"};
inline constexpr Failure<Text, Text> sign_certificate_key_mismatch{
    "the certificate {} holds another public key than the signing key {}; give the key's own "
    "certificate first, then the intermediates"};
inline constexpr Failure<Text> sign_certificate_not_ecdsa{
    "key {} is not an ECDSA key; the model-signing tool checks certificate signatures with "
    "ECDSA only"};
inline constexpr Failure<Text, Text> sign_path_outside{
    "pinned file {} is outside the manifest's directory {}; a signature names files relative to "
    "that directory, so move the file into it and recreate the manifest"};

inline constexpr Failure<Text, Text> sign_signature_path_signed{
    "signature path {} is {}; a signature never replaces a file it signs: choose another "
    "--signature"};
inline constexpr Failure<Text> sign_signature_path_unnamed{
    "signature path {} names no file; give the signature file's own name"};
inline constexpr Failure<Text> sign_symlink_in_directory{
    "{} in the manifest's directory is a symbolic link; a signature says allow_symlinks false, "
    "so the model-signing tool would refuse the directory: replace the link by its file, or "
    "keep the bundle in a directory of its own"};
inline constexpr Failure<Text> sign_special_file_in_directory{
    "{} in the manifest's directory is neither a regular file nor a directory; the "
    "model-signing tool would refuse the directory: remove it, or keep the bundle in a "
    "directory of its own"};
inline constexpr Failure<Text> sign_name_not_utf8{
    "the file name {} in the manifest's directory is not UTF-8; a signature names files in "
    "UTF-8, so rename it"};
inline constexpr Failure<Text, Text> sign_directory_unreadable{
    "cannot read the directory {} to sign it: {}"};

// ---- keys ----
inline constexpr Failure<Text, Text> key_unreadable{"cannot read key {}: {}"};
inline constexpr Failure<Text, Text> key_type_unsupported{
    "key {} is {}; keys are ECDSA P-256, P-384 or P-521, or Ed25519"};
inline constexpr Failure<Text> key_exists{
    "{} already exists; keygen does not overwrite keys, choose another path"};
inline constexpr Failure<Text> key_is_private{
    "{} is a private key; pass its .pub (the public key keygen wrote beside it) as a trusted key"};
inline constexpr Failure<Text> key_is_public{
    "{} is a public key; signing needs the private key it belongs to"};
inline constexpr Failure<Text> key_is_certificate{
    "{} is an X.509 certificate; pass the signer's public key in PEM (openssl x509 -in FILE "
    "-pubkey -noout)"};
inline constexpr Failure<Text, Text> key_is_der{
    "{} is a DER (binary) {}; keys are read in PEM: convert it (openssl pkey -inform DER ...)"};
inline constexpr Failure<Text> key_small_order{
    "key {} is a small-order Ed25519 point, which verifies forged signatures; no one holds its "
    "private key, so it is not trusted"};
inline constexpr Failure<Text> key_wrong_password{"wrong password for the encrypted key {}"};
inline constexpr Failure<> password_empty{
    "the password is empty, which encrypts nothing; give a password, or none for an unencrypted "
    "key"};
inline constexpr Failure<U64, U64> password_too_long{
    "the password is {} bytes; a key password may have at most {} bytes (more could never be "
    "read back)"};
inline constexpr Failure<Text> key_type_unknown{
    "unknown key type {}, expected `ecdsa-p256`, `ecdsa-p384`, `ecdsa-p521` or `ed25519`"};

}  // namespace tamrel::sign::issues
