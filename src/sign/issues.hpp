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

// ---- who signed ----
inline constexpr Issue<Text, Text, Text> signature_untrusted_key{
    "signature_untrusted_key",
    "signature file {} does not verify with any trusted key (it names key {}; trusted key ids: "
    "{}); pass the signer's public key with --trusted-key if you trust it"};
inline constexpr Issue<U64, U64> signature_threshold_not_met{
    "signature_threshold_not_met",
    "{} distinct trusted keys signed, the threshold is {}; add signature files with --signature"};

// ---- what was signed ----
inline constexpr Issue<Text, Text, Text> signature_manifest_changed{
    "signature_manifest_changed",
    "manifest {} has SHA-256 {} but the signature covers {}; it changed after signing"};
inline constexpr Issue<Text, Text> signature_file_unsigned{
    "signature_file_unsigned", "pinned file {} is not among the resources signed in {}"};
inline constexpr Issue<Text, Text, Text, Text> signature_digest_mismatch{
    "signature_digest_mismatch",
    "pinned file {} was signed in {} with SHA-256 {}, verification measured {}"};

// ---- signing ----
inline constexpr Failure<Text> sign_verification_failed{
    "{}; a bundle that fails verification is not signed"};
inline constexpr Failure<U64> threshold_invalid{
    "threshold {} is not possible: it counts trusted keys, at least 1 and at most their number"};
inline constexpr Failure<> no_trusted_keys{
    "no trusted key given: name the signer's public key with --trusted-key"};
inline constexpr Failure<Text, Text> sign_path_outside{
    "pinned file {} is outside the manifest's directory {}; a signature names files relative to "
    "that directory, so move the file into it and recreate the manifest"};

// ---- keys ----
inline constexpr Failure<Text, Text> key_unreadable{"cannot read key {}: {}"};
inline constexpr Failure<Text, Text> key_type_unsupported{
    "key {} is {}; keys are ECDSA P-256 or Ed25519"};
inline constexpr Failure<Text> key_exists{
    "{} already exists; keygen does not overwrite keys, choose another path"};
inline constexpr Failure<Text> key_type_unknown{
    "unknown key type {}, expected `ecdsa-p256` or `ed25519`"};

}  // namespace tamrel::sign::issues
