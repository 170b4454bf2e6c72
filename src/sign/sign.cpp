// The two operations over a manifest: sign what verification measured, and check signatures
// before measuring anything.
#include "sign/sign.hpp"

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "base/path.hpp"
#include "base/text.hpp"
#include "create/create.hpp"
#include "io/digest.hpp"
#include "model/codec.hpp"
#include "model/writer.hpp"
#include "report/report.hpp"
#include "sign/issues.hpp"
#include "sign/keys.hpp"
#include "verify/path_policy.hpp"

namespace tamrel::sign {
namespace fs = std::filesystem;

namespace {

// A file the pass measured: where it is and what it hashed to.
struct Pinned {
  std::string canonical_path;
  std::string sha256;
};

// Every file the passing (or failing) report measured, in the report's order.
std::vector<Pinned> pinned_files(const report::VerificationReport& r) {
  std::vector<Pinned> out;
  const auto add = [&](const report::OptString& path, const report::OptString& sha256) {
    if (path && sha256) out.push_back(Pinned{*path, *sha256});
  };
  add(r.artifact.canonical_path, r.artifact.sha256);
  for (const auto& aux : r.auxiliary_artifacts) {
    if (aux.state == report::AuxiliaryArtifactState::Verified) add(aux.canonical_path, aux.sha256);
  }
  add(r.row_identity.canonical_path, r.row_identity.sha256);
  add(r.encoder_distortion.profile_canonical_path, r.encoder_distortion.profile_sha256);
  add(r.calibration.profile_canonical_path, r.calibration.profile_sha256);
  return out;
}

// The signature's name for a canonical path: relative to the canonical directory with "/"
// separators; none when the path lies outside it.
std::optional<std::string> name_in(const fs::path& canonical, const fs::path& dir) {
  const fs::path rel = canonical.lexically_relative(dir);
  if (rel.empty() || *rel.begin() == "..") return std::nullopt;
  std::string name;
  for (const fs::path& part : rel) {
    if (!name.empty()) name += '/';
    name += path_display(part);
  }
  return name;
}

// The manifest's directory, canonical; its own name is its file name there.
Result<fs::path> canonical_directory(const fs::path& manifest) {
  return verify::canonicalize(directory_of(manifest));
}

std::string manifest_name(const fs::path& manifest) { return path_display(manifest.filename()); }

// What the signed directory holds beside the resources: whole entries that hold no resource,
// so that a verifier walking the directory meets exactly the signed set.
void collect_ignored(const fs::path& dir, const std::string& prefix,
                     const std::set<std::string>& resources, std::vector<std::string>& out) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = prefix + path_display(it->path().filename());
    if (resources.contains(name)) continue;
    const auto below = resources.lower_bound(name + "/");
    const bool holds_resource = below != resources.end() && below->starts_with(name + "/");
    if (holds_resource && it->is_directory(ec) && !it->is_symlink(ec)) {
      collect_ignored(it->path(), name + "/", resources, out);
    } else {
      out.push_back(name);
    }
  }
}

void write_key_ids(model::JsonWriter& w, const std::vector<Key>& keys) {
  model::write_array(w, keys, [](model::JsonWriter& aw, const Key& k) { aw.string(k.id); });
}

// ---- signed verification ----

struct SignatureCheck {
  std::string path;  // as given, for messages and the result
  std::optional<Envelope> envelope;
  const Key* matched = nullptr;
  std::optional<Statement> statement;
};

struct SignedRun {
  const SignedVerifyOptions& options;
  std::vector<Key> keys;
  std::vector<SignatureCheck> checks;
  std::vector<report::ReportIssue> issues;
  std::vector<std::string> unpinned;
  std::optional<std::string> manifest_sha256;
  std::uint64_t distinct_signers = 0;
};

report::ReportIssue as_issue(ManifestError error) {
  return report::ReportIssue{std::move(error.code), std::move(error.message)};
}

// Step 1: each file read under its limit and decoded.
void read_signatures(SignedRun& run) {
  for (SignatureCheck& check : run.checks) {
    const std::string shown = quoted(check.path);
    auto text = io::bounded_read(check.path, run.options.max_signature_bytes,
                                 issues::signature_file_too_large, issues::SIGNATURE_FILE_LABEL,
                                 io::Origin::Caller);
    if (!text) {
      const ManifestError& e = text.error();
      if (e.variant == ManifestError::Variant::Context) {
        run.issues.push_back(as_issue(std::move(text).error()));
      } else if (e.io_kind == IoKind::NotFound) {
        run.issues.push_back(issues::signature_file_missing(shown));
      } else {
        run.issues.push_back(issues::signature_file_unreadable(shown, e.message));
      }
      continue;
    }
    auto envelope = decode_bundle(*text, shown);
    if (!envelope) {
      run.issues.push_back(as_issue(std::move(envelope).error()));
      continue;
    }
    check.envelope = std::move(envelope).value();
  }
}

// Step 2: every trusted key tried on every signature; hints decide nothing.
void check_signers(SignedRun& run) {
  std::set<std::string_view> signers;
  std::string trusted_ids;
  for (const Key& key : run.keys) {
    trusted_ids += trusted_ids.empty() ? "" : ", ";
    trusted_ids += key.id;
  }
  for (SignatureCheck& check : run.checks) {
    const std::string message = pae(check.envelope->payload);
    for (const Key& key : run.keys) {
      if (verify_bytes(key, message, check.envelope->signature)) {
        check.matched = &key;
        break;
      }
    }
    const std::string shown = quoted(check.path);
    if (check.matched == nullptr) {
      const Envelope& e = *check.envelope;
      const std::string named = !e.keyid.empty()             ? e.keyid
                                : !e.public_key_hint.empty() ? e.public_key_hint
                                                             : "none";
      run.issues.push_back(issues::signature_untrusted_key(shown, named, trusted_ids));
      continue;
    }
    signers.insert(check.matched->id);
    // Only a payload whose signature holds is parsed.
    auto statement = decode_statement(check.envelope->payload, shown);
    if (!statement) {
      run.issues.push_back(as_issue(std::move(statement).error()));
      continue;
    }
    check.statement = std::move(statement).value();
  }
  run.distinct_signers = signers.size();
  if (run.issues.empty() && run.distinct_signers < run.options.threshold) {
    run.issues.push_back(
        issues::signature_threshold_not_met(run.distinct_signers, run.options.threshold));
  }
}

const Resource* find_resource(const Statement& statement, std::string_view name) {
  for (const Resource& r : statement.resources) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

// Step 3: the bytes verification will decode are the bytes that were signed.
void check_manifest_digest(SignedRun& run, std::string_view bytes) {
  run.manifest_sha256 = io::sha256_hex(bytes);
  const std::string name = manifest_name(run.options.manifest);
  const std::string shown = quoted(path_display(run.options.manifest));
  for (const SignatureCheck& check : run.checks) {
    const Resource* r = find_resource(*check.statement, name);
    if (r == nullptr) {
      run.issues.push_back(issues::signature_file_unsigned(shown, quoted(check.path)));
    } else if (r->sha256 != *run.manifest_sha256) {
      run.issues.push_back(
          issues::signature_manifest_changed(shown, *run.manifest_sha256, r->sha256));
    }
  }
}

// Step 5: each measured file against each statement; resources nothing pins are listed.
void check_pinned(SignedRun& run, const report::VerificationReport& report) {
  auto dir = canonical_directory(run.options.manifest);
  std::set<std::string> pinned_names{manifest_name(run.options.manifest)};
  for (const Pinned& p : pinned_files(report)) {
    std::optional<std::string> name = dir ? name_in(p.canonical_path, *dir) : std::nullopt;
    const std::string shown = quoted(name ? *name : p.canonical_path);
    for (const SignatureCheck& check : run.checks) {
      const Resource* r = name ? find_resource(*check.statement, *name) : nullptr;
      if (r == nullptr) {
        run.issues.push_back(issues::signature_file_unsigned(shown, quoted(check.path)));
      } else if (r->sha256 != p.sha256) {
        run.issues.push_back(
            issues::signature_digest_mismatch(shown, quoted(check.path), r->sha256, p.sha256));
      }
    }
    if (name) pinned_names.insert(std::move(*name));
  }
  std::set<std::string> unpinned;
  for (const SignatureCheck& check : run.checks) {
    for (const Resource& r : check.statement->resources) {
      if (!pinned_names.contains(r.name)) unpinned.insert(r.name);
    }
  }
  run.unpinned.assign(unpinned.begin(), unpinned.end());
}

void write_signature_part(model::JsonWriter& w, const SignedRun& run) {
  model::ObjectWriter o(w);
  o.boolean("ok", run.issues.empty());
  o.u64("threshold", run.options.threshold);
  o.u64("trusted_signers", run.distinct_signers);
  write_key_ids(o.key("trusted_key_ids"), run.keys);
  o.str("manifest_sha256", run.manifest_sha256);
  model::write_array(
      o.key("signatures"), run.checks, [](model::JsonWriter& aw, const SignatureCheck& c) {
        model::ObjectWriter s(aw);
        s.str("path", std::string_view(c.path));
        const Key* k = c.matched;
        s.str("key_id", k ? report::OptString(k->id) : std::nullopt);
        s.str("key_type",
              k ? report::OptString(std::string(key_type_name(k->type))) : std::nullopt);
        s.boolean("verified", k != nullptr);
        s.str("trusted_key", k ? report::OptString(k->path) : std::nullopt);
        const bool hinted = c.envelope && !c.envelope->keyid.empty();
        s.str("key_hint", hinted ? report::OptString(c.envelope->keyid) : std::nullopt);
      });
  model::write_array(o.key("unpinned_resources"), run.unpinned,
                     [](model::JsonWriter& aw, const std::string& n) { aw.string(n); });
  model::write_array(o.key("errors"), run.issues,
                     [](model::JsonWriter& aw, const report::ReportIssue& i) {
                       model::ObjectWriter e(aw);
                       e.str("code", std::string_view(i.code));
                       e.str("message", std::string_view(i.message));
                     });
}

// The result: the report (a refusal before the pass gets one of its own, with no facts),
// the signature part, and the plan.
std::string signed_result(const SignedRun& run, std::optional<report::VerificationReport> pass,
                          const std::optional<std::string>& plan = std::nullopt) {
  report::VerificationReport report;
  if (pass) {
    report = std::move(*pass);
  } else {
    report = report::start_report("");
    report.manifest_id.reset();
  }
  for (const report::ReportIssue& issue : run.issues) report.errors.push_back(issue);
  if (!run.issues.empty()) report.ok = false;
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    report::write_report(o.key("report"), report);
    write_signature_part(o.key("signature"), run);
    if (plan) {
      o.key("plan");
      w.raw(*plan);
    } else {
      o.key("plan").null();
    }
    // What a loader raises instead of a plan.
    o.str("refusal", run.options.load_plan && !report.ok
                         ? report::OptString(verify::failure_text(report.errors))
                         : std::nullopt);
  }
  return w.take();
}

}  // namespace

fs::path default_signature_path(const fs::path& manifest) {
  fs::path sig = manifest;
  sig += ".sig";
  return sig;
}

Result<std::string> sign_manifest_json(const SignOptions& options, std::string* refused_report) {
  TAMREL_TRY(const Key key, read_private_key(options.key, options.password));
  TAMREL_TRY(const std::string bytes,
             model::read_manifest_text(options.manifest, options.verify.limits.max_manifest_bytes));
  TAMREL_TRY(const model::IndexManifest manifest, model::decode_manifest(bytes));
  const report::VerificationReport report =
      verify::verify_loaded_manifest(manifest, options.manifest, options.verify);
  if (!report.ok) {
    if (refused_report != nullptr) *refused_report = report::report_to_json(report);
    return issues::sign_verification_failed(verify::failure_text(report.errors));
  }
  TAMREL_TRY(const fs::path dir, canonical_directory(options.manifest));
  Statement statement;
  statement.subject_name = path_display(dir.filename());
  const std::string manifest_sha256 = io::sha256_hex(bytes);
  statement.resources.push_back(Resource{manifest_name(options.manifest), manifest_sha256});
  for (const Pinned& p : pinned_files(report)) {
    std::optional<std::string> name = name_in(p.canonical_path, dir);
    if (!name)
      return issues::sign_path_outside(quoted(p.canonical_path), quoted(path_display(dir)));
    // A file pinned twice (the same profile for two blocks) is one resource.
    if (find_resource(statement, *name) == nullptr) {
      statement.resources.push_back(Resource{std::move(*name), p.sha256});
    }
  }
  std::sort(
      statement.resources.begin(), statement.resources.end(),
      [](const Resource& a, const Resource& b) { return resource_name_less(a.name, b.name); });

  const fs::path sig_path = options.signature.value_or(default_signature_path(options.manifest));
  std::set<std::string> names;
  for (const Resource& r : statement.resources) names.insert(r.name);
  collect_ignored(dir, "", names, statement.ignore_paths);
  // The signature itself, which a first signing has not written yet.
  if (auto sig_dir = verify::canonicalize(directory_of(sig_path)); sig_dir) {
    if (auto name = name_in(*sig_dir / sig_path.filename(), dir); name) {
      if (std::find(statement.ignore_paths.begin(), statement.ignore_paths.end(), *name) ==
          statement.ignore_paths.end()) {
        statement.ignore_paths.push_back(std::move(*name));
      }
    }
  }
  std::sort(statement.ignore_paths.begin(), statement.ignore_paths.end());

  Envelope envelope;
  envelope.payload = statement_json(statement);
  TAMREL_TRY(envelope.signature, sign_bytes(key, pae(envelope.payload)));
  envelope.keyid = key.id;
  envelope.public_key_hint = key.hint;
  TAMREL_CHECK(create::write_file_atomically(sig_path, bundle_json(envelope)));

  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    o.str("signature", std::string_view(path_display(sig_path)));
    o.str("key_id", std::string_view(key.id));
    o.str("key_type", key_type_name(key.type));
    o.str("manifest_sha256", std::string_view(manifest_sha256));
    model::write_array(o.key("resources"), statement.resources,
                       [](model::JsonWriter& aw, const Resource& r) {
                         model::ObjectWriter item(aw);
                         item.str("name", std::string_view(r.name));
                         item.str("sha256", std::string_view(r.sha256));
                       });
    model::write_array(o.key("ignore_paths"), statement.ignore_paths,
                       [](model::JsonWriter& aw, const std::string& p) { aw.string(p); });
    report::write_report(o.key("report"), report);
  }
  return w.take();
}

Result<std::string> verify_signed_json(const SignedVerifyOptions& options) {
  SignedRun run{options, {}, {}, {}, {}, {}, 0};
  if (options.trusted_keys.empty()) return issues::no_trusted_keys();
  std::set<std::string> ids;
  for (const fs::path& path : options.trusted_keys) {
    TAMREL_TRY(Key key, read_public_key(path));
    ids.insert(key.id);
    run.keys.push_back(std::move(key));
  }
  if (options.threshold == 0 || options.threshold > ids.size()) {
    return issues::threshold_invalid(options.threshold);
  }
  if (options.signatures.empty()) {
    run.checks.push_back(
        SignatureCheck{path_display(default_signature_path(options.manifest)), {}, nullptr, {}});
  }
  for (const fs::path& p : options.signatures)
    run.checks.push_back(SignatureCheck{path_display(p), {}, nullptr, {}});

  read_signatures(run);
  if (run.issues.empty()) check_signers(run);
  if (!run.issues.empty()) return signed_result(run, std::nullopt);

  // One read: the digest compared and the text decoded are of the same bytes.
  TAMREL_TRY(const std::string bytes,
             model::read_manifest_text(options.manifest, options.verify.limits.max_manifest_bytes));
  check_manifest_digest(run, bytes);
  if (!run.issues.empty()) return signed_result(run, std::nullopt);
  TAMREL_TRY(const model::IndexManifest manifest, model::decode_manifest(bytes));
  report::VerificationReport report =
      verify::verify_loaded_manifest(manifest, options.manifest, options.verify);
  check_pinned(run, report);
  std::optional<std::string> plan;
  if (options.load_plan && report.ok && run.issues.empty()) {
    TAMREL_TRY(plan, verify::load_plan_json(options.manifest, report));
  }
  return signed_result(run, std::move(report), plan);
}

}  // namespace tamrel::sign
