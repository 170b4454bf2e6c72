// The two operations over a manifest: sign what verification measured, and check signatures
// before measuring anything.
#include "sign/sign.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/fd.hpp"
#include "base/path.hpp"
#include "base/text.hpp"
#include "create/create.hpp"
#include "io/digest.hpp"
#include "io/file.hpp"
#include "io/random.hpp"
#include "model/codec.hpp"
#include "model/writer.hpp"
#include "report/report.hpp"
#include "sign/certs.hpp"
#include "sign/issues.hpp"
#include "sign/keys.hpp"
#include "sign/walk.hpp"
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
  // Measured whatever the verdict: a file that differs is a pinned file that differs.
  for (const auto& aux : r.auxiliary_artifacts) add(aux.canonical_path, aux.sha256);
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

// ---- signing: what the directory holds ----

// Walks the signed directory as the model-signing tool will (every entry, ignored ones too, for
// it checks each before it asks whether to ignore it) and collects what it must ignore: whole
// entries that hold no resource, so that it meets exactly the signed set. Refuses what it would
// refuse: a symbolic link (a signature says allow_symlinks false), anything neither a regular
// file nor a directory; and a name that is not UTF-8, which a signature cannot name.
Status walk_signed_directory(const fs::path& dir, const std::set<std::string>& resources,
                             const std::string& signature, std::vector<std::string>& ignored) {
  UniqueFd root(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!root.valid()) {
    return issues::sign_directory_unreadable(
        quoted(path_display(dir)), std::error_code(errno, std::generic_category()).message());
  }
  // Names below an ignored entry are ignored with it.
  std::vector<std::string> ignored_dirs;
  const auto inside_ignored = [&](const std::string& name) {
    return std::any_of(ignored_dirs.begin(), ignored_dirs.end(), [&](const std::string& d) {
      return name.starts_with(d) && name[d.size()] == '/';
    });
  };
  const WalkVisitor visit = [&](const WalkEntry& e) -> Result<Visit> {
    if (!e.utf8) return issues::sign_name_not_utf8(quoted(e.name));
    // The signature's own entry, which the write replaces whatever stands there.
    if (e.name == signature) {
      if (!inside_ignored(e.name)) ignored.push_back(e.name);
      return Visit::Skip;
    }
    if (S_ISLNK(e.st.st_mode)) return issues::sign_symlink_in_directory(quoted(e.name));
    if (!S_ISREG(e.st.st_mode) && !S_ISDIR(e.st.st_mode)) {
      return issues::sign_special_file_in_directory(quoted(e.name));
    }
    if (resources.contains(e.name)) return Visit::Descend;
    const auto below = resources.lower_bound(e.name + "/");
    const bool holds_resource = below != resources.end() && below->starts_with(e.name + "/");
    if (!holds_resource && !inside_ignored(e.name)) {
      ignored.push_back(e.name);
      ignored_dirs.push_back(e.name);
    }
    return Visit::Descend;
  };
  const WalkFailure failed = [&](std::string_view where, int err, std::string_view why) {
    const std::string shown =
        where.empty() ? path_display(dir) : path_display(dir / fs::path(std::string(where)));
    return issues::sign_directory_unreadable(
        quoted(shown),
        err != 0 ? std::error_code(err, std::generic_category()).message() : std::string(why));
  };
  return walk_directory(root.get(), WalkLimits{}, visit, failed);
}

// The file at path, as the entry a write would replace (lstat) and as the file it leads to
// (stat), against the manifest and every file the pass read.
Status check_signature_target(const fs::path& sig, const fs::path& manifest,
                              const std::vector<verify::ReadFile>& read) {
  struct stat entry {};
  struct stat target {};
  const bool has_entry = ::lstat(sig.c_str(), &entry) == 0;
  const bool has_target = ::stat(sig.c_str(), &target) == 0;
  if (!has_entry) return {};
  const auto same = [&](std::uint64_t dev, std::uint64_t ino) {
    return (static_cast<std::uint64_t>(entry.st_dev) == dev &&
            static_cast<std::uint64_t>(entry.st_ino) == ino) ||
           (has_target && static_cast<std::uint64_t>(target.st_dev) == dev &&
            static_cast<std::uint64_t>(target.st_ino) == ino);
  };
  const std::string shown = quoted(path_display(sig));
  struct stat m {};
  if (::stat(manifest.c_str(), &m) == 0 &&
      same(static_cast<std::uint64_t>(m.st_dev), static_cast<std::uint64_t>(m.st_ino))) {
    return issues::sign_signature_path_signed(shown, "the manifest");
  }
  for (const verify::ReadFile& f : read) {
    if (same(f.version.device, f.version.inode)) {
      return issues::sign_signature_path_signed(
          shown, fmt::format("the pinned file {}", quoted(f.canonical_path)));
    }
  }
  return {};
}

// fsync with EINTR retried; a file system that cannot synchronise (EINVAL) has nothing to flush.
int flush_to_storage(int fd) {
  for (;;) {
    if (::fsync(fd) == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EINVAL ? 0 : errno;
  }
}

constexpr int TEMP_NAME_ATTEMPTS = 16;

// The signature's own writer: a new file created beside it (O_EXCL, no link followed), filled
// and flushed, renamed over the directory entry (a link there is replaced, never followed), and
// the directory flushed. Whatever stood at the path is never opened, let alone written.
Status write_signature_file(const fs::path& path, std::string_view bytes) {
  const fs::path name = path.filename();
  if (name.empty() || name == "." || name == "..") {
    return issues::sign_signature_path_unnamed(quoted(path_display(path)));
  }
  UniqueFd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return ManifestError::from_errno(errno);
  std::string temp;
  UniqueFd fd;
  int err = 0;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS && !fd.valid(); ++attempt) {
    std::array<std::uint8_t, 8> tag{};
    io::fill_secure_random(tag.data(), tag.size());
    temp = fmt::format(".tamrel-signature-{:02x}.tmp", fmt::join(tag.begin(), tag.end(), ""));
    fd = UniqueFd(::openat(dir.get(), temp.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    err = fd.valid() ? 0 : errno;
    if (err != 0 && err != EEXIST) break;
  }
  if (!fd.valid()) return ManifestError::from_errno(err);
  const auto fail = [&](ManifestError e) {
    fd.reset();
    (void)::unlinkat(dir.get(), temp.c_str(), 0);
    return e;
  };
  if (Status written = model::write_all(fd.get(), bytes); !written.ok()) {
    return fail(std::move(written).error());
  }
  if (const int e = flush_to_storage(fd.get()); e != 0) return fail(ManifestError::from_errno(e));
  if (const int e = fd.reset(); e != 0) return fail(ManifestError::from_errno(e));
  if (::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) {
    return fail(ManifestError::from_errno(errno));
  }
  if (const int e = flush_to_storage(dir.get()); e != 0) return ManifestError::from_errno(e);
  return {};
}

void write_key_ids(model::JsonWriter& w, const std::vector<Key>& keys) {
  model::write_array(w, keys, [](model::JsonWriter& aw, const Key& k) { aw.string(k.id); });
}

void write_read_files(model::JsonWriter& w, const std::vector<verify::ReadFile>& files) {
  const auto ns = [](std::int64_t sec, std::int64_t nsec) { return sec * 1000000000 + nsec; };
  model::write_array(w, files, [&](model::JsonWriter& aw, const verify::ReadFile& f) {
    model::ObjectWriter o(aw);
    o.str("path", std::string_view(f.canonical_path));
    o.u64("device", f.version.device);
    o.u64("inode", f.version.inode);
    o.u64("size", f.version.size);
    o.key("mtime_ns").sint(ns(f.version.modified_sec, f.version.modified_nsec));
    o.key("ctime_ns").sint(ns(f.version.changed_sec, f.version.changed_nsec));
  });
}

// ---- signed verification ----

struct SignatureCheck {
  std::string path;  // as given, for messages and the result
  std::optional<Envelope> envelope;
  const Key* matched = nullptr;
  std::optional<CertifiedSigner> certified;  // its chain checked and its key verified it
  std::optional<Statement> statement;        // only of a signature a trusted source verified
  // A signature verified before the binding (the Sigstore package's): its method and signer.
  std::optional<std::pair<std::string, std::string>> external;
};

struct SignedRun {
  const SignedVerifyOptions& options;
  std::vector<Key> keys;  // one per key id
  TrustStore trust;       // the certificate policy, when trust roots are given
  std::vector<SignatureCheck> checks;
  std::vector<report::ReportIssue> issues;
  // Signatures no trusted key verifies, reported without refusing while the threshold is met.
  std::vector<report::ReportIssue> warnings;
  std::vector<std::string> unpinned;
  std::vector<std::string> missing;  // of unpinned: not on disk
  std::optional<std::string> manifest_sha256;
  std::uint64_t distinct_signers = 0;
  bool single_file = false;  // a statement over one file names it "."
};

report::ReportIssue as_issue(ManifestError error) {
  return report::ReportIssue{std::move(error.code), std::move(error.message)};
}

// A signature file comes from the storage it is checked against: opened without blocking and
// without following a link out of its directory, required to be a regular file (a directory
// fails its read with the system's text), read under its limit.
Result<std::string> read_signature_file(const fs::path& path, std::uint64_t limit) {
  const fs::path name = path.filename();
  Result<UniqueFd> file = ManifestError::from_errno(EISDIR);
  if (name.empty() || name == "." || name == "..") {
    file = io::open_for_read(path, io::Origin::Manifest);
  } else {
    UniqueFd dir(::open(directory_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return ManifestError::from_errno(errno);
    file = io::open_for_read_at(dir.get(), name, io::Resolve::Beneath, io::Origin::Manifest);
  }
  if (!file.ok()) {
    if (file.error().os_errno == EXDEV) {
      return ManifestError::io(IoKind::Other, std::string(issues::SIGNATURE_LINK_OUT), EXDEV);
    }
    return std::move(file).error();
  }
  return io::bounded_read_fd(file->get(), path, limit, issues::signature_file_too_large,
                             issues::SIGNATURE_FILE_LABEL);
}

// Step 1: each file read under its limit and decoded.
void read_signatures(SignedRun& run) {
  for (SignatureCheck& check : run.checks) {
    const std::string shown = quoted(check.path);
    auto text = read_signature_file(check.path, run.options.max_signature_bytes);
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

// Step 2: every trusted key tried on every signature; hints decide nothing. A signature no
// trusted key verifies is not counted (a retired key's beside a current one's); it refuses only
// when the threshold is then not met. One a trusted key verifies must bind, or it refuses.
// The most signers that can each be credited to a distinct trust option they meet (augmenting
// paths; a handful of each): one actor meeting two options counts once, and two actors meeting
// only one option count once.
std::uint64_t matched_signers(const std::vector<std::vector<std::size_t>>& meets,
                              std::size_t options) {
  std::vector<std::ptrdiff_t> owner(options, -1);
  std::uint64_t count = 0;
  for (std::size_t signer = 0; signer < meets.size(); ++signer) {
    std::vector<bool> seen(options, false);
    const std::function<bool(std::size_t)> take = [&](std::size_t who) {
      for (const std::size_t o : meets[who]) {
        if (seen[o]) continue;
        seen[o] = true;
        if (owner[o] < 0 || take(static_cast<std::size_t>(owner[o]))) {
          owner[o] = static_cast<std::ptrdiff_t>(who);
          return true;
        }
      }
      return false;
    };
    if (take(signer)) ++count;
  }
  return count;
}

// Step 2: every trusted key tried on every signature, and a certificate chain checked against
// the trust roots; hints decide nothing. A signature no trusted source verifies is not counted
// (a retired key's beside a current one's); it refuses only when the threshold is then not met.
// One a trusted source verifies must bind, or it refuses.
void check_signers(SignedRun& run) {
  std::string trusted_ids;
  for (const Key& key : run.keys) {
    trusted_ids += trusted_ids.empty() ? "" : ", ";
    trusted_ids += key.id;
  }
  // Signers by public key: the trust options (each key, then the certificate policy) each meets.
  std::map<std::string, std::set<std::size_t>> signers;
  const std::size_t certificate_option = run.keys.size();
  for (SignatureCheck& check : run.checks) {
    const std::string message = pae(check.envelope->payload);
    for (const Key& key : run.keys) {
      if (verify_bytes(key, message, check.envelope->signature)) {
        check.matched = &key;
        break;
      }
    }
    const std::string shown = quoted(check.path);
    std::optional<report::ReportIssue> refused;
    if (!run.trust.empty() && !check.envelope->certificates.empty()) {
      auto certified = check_certificates(run.trust, check.envelope->certificates, shown);
      if (!certified) {
        refused = as_issue(std::move(certified).error());
      } else if (!verify_bytes(certified->key, message, check.envelope->signature)) {
        refused = issues::signature_certificate_key_mismatch(shown, quoted(certified->subject));
      } else {
        check.certified = std::move(certified).value();
      }
    }
    if (check.matched == nullptr && !check.certified) {
      const Envelope& e = *check.envelope;
      const std::string named = !e.keyid.empty()             ? e.keyid
                                : !e.public_key_hint.empty() ? e.public_key_hint
                                                             : "none";
      run.warnings.push_back(refused ? std::move(*refused)
                                     : issues::signature_untrusted_key(shown, named, trusted_ids));
      continue;
    }
    if (check.matched != nullptr) {
      signers[check.matched->id].insert(static_cast<std::size_t>(check.matched - run.keys.data()));
    }
    if (check.certified) signers[check.certified->key.id].insert(certificate_option);
    // Only a payload whose signature holds is parsed.
    auto statement = decode_statement(check.envelope->payload, shown, run.single_file);
    if (!statement) {
      run.issues.push_back(as_issue(std::move(statement).error()));
      continue;
    }
    check.statement = std::move(statement).value();
  }
  std::vector<std::vector<std::size_t>> meets;
  for (const auto& [id, options] : signers) meets.emplace_back(options.begin(), options.end());
  run.distinct_signers = matched_signers(meets, certificate_option + 1);
  if (run.issues.empty() && run.distinct_signers < run.options.threshold) {
    for (report::ReportIssue& w : run.warnings) run.issues.push_back(std::move(w));
    // No trusted signer at all is said by the untrusted signatures themselves.
    if (run.distinct_signers > 0 || run.warnings.empty()) {
      run.issues.push_back(
          issues::signature_threshold_not_met(run.distinct_signers, run.options.threshold));
    }
    run.warnings.clear();
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
    if (!check.statement) continue;
    const Resource* r = find_resource(*check.statement, name);
    if (r == nullptr) {
      run.issues.push_back(issues::signature_file_unsigned(shown, quoted(check.path)));
    } else if (r->sha256 != *run.manifest_sha256) {
      run.issues.push_back(
          issues::signature_manifest_changed(shown, *run.manifest_sha256, r->sha256));
    }
  }
}

// The name in the signed directory of a file the manifest declares, whether or not it is there:
// canonical when it exists, else its canonical directory and its own name.
std::optional<std::string> declared_name(const fs::path& base_dir, const fs::path& declared,
                                         const fs::path& dir) {
  if (declared.empty() || declared.native().find('\0') != std::string::npos) return std::nullopt;
  const fs::path joined = verify::join_declared(base_dir, declared);
  if (auto canonical = verify::canonicalize(joined); canonical) return name_in(*canonical, dir);
  const fs::path file = joined.filename();
  if (file.empty() || file == "." || file == "..") return std::nullopt;
  auto parent = verify::canonicalize(directory_of(joined));
  if (!parent) return std::nullopt;
  return name_in(*parent / file, dir);
}

// Every file the manifest declares, named in the signed directory.
std::set<std::string> declared_names(const model::IndexManifest& m, const SignedRun& run,
                                     const fs::path& dir) {
  const fs::path base = directory_of(run.options.manifest);
  std::vector<std::string> paths;
  paths.push_back(run.options.verify.index ? run.options.verify.index->native() : m.artifact.path);
  for (const model::AuxiliaryArtifact& aux : m.auxiliary_artifacts) paths.push_back(aux.path);
  if (const auto* rows = std::get_if<model::RowIdentityJsonl>(&m.row_identity)) {
    paths.push_back(rows->path);
  }
  if (m.encoder_distortion && m.encoder_distortion->profile) {
    paths.push_back(m.encoder_distortion->profile->path);
  }
  if (m.calibration && m.calibration->profile) paths.push_back(m.calibration->profile->path);
  std::set<std::string> out;
  for (const std::string& p : paths) {
    if (auto name = declared_name(base, fs::path(p), dir)) out.insert(std::move(*name));
  }
  return out;
}

bool on_disk(const fs::path& dir, const std::string& name) {
  struct stat st {};
  return ::lstat((dir / name).c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

// Step 5: each measured file against each statement; a signed file the manifest names that is
// not there refuses (the bundle is the signed set); the signed files nothing names are listed,
// and of those the ones not on disk.
void check_pinned(SignedRun& run, const report::VerificationReport& report,
                  const model::IndexManifest& manifest) {
  auto dir = canonical_directory(run.options.manifest);
  std::set<std::string> pinned_names{manifest_name(run.options.manifest)};
  for (const Pinned& p : pinned_files(report)) {
    std::optional<std::string> name = dir ? name_in(p.canonical_path, *dir) : std::nullopt;
    const std::string shown = quoted(name ? *name : p.canonical_path);
    for (const SignatureCheck& check : run.checks) {
      if (!check.statement) continue;
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
  if (!dir) return;
  for (const std::string& name : declared_names(manifest, run, *dir)) {
    if (!pinned_names.insert(name).second) continue;  // measured above
    if (on_disk(*dir, name)) continue;                // there but not measured: the pass said why
    for (const SignatureCheck& check : run.checks) {
      if (check.statement && find_resource(*check.statement, name) != nullptr) {
        run.issues.push_back(
            issues::signature_file_missing_on_disk(quoted(name), quoted(check.path)));
      }
    }
  }
  std::set<std::string> unpinned;
  for (const SignatureCheck& check : run.checks) {
    if (!check.statement) continue;
    for (const Resource& r : check.statement->resources) {
      if (!pinned_names.contains(r.name)) unpinned.insert(r.name);
    }
  }
  run.unpinned.assign(unpinned.begin(), unpinned.end());
  for (const std::string& name : run.unpinned) {
    if (!on_disk(*dir, name)) run.missing.push_back(name);
  }
}

void write_issues(model::JsonWriter& w, const std::vector<report::ReportIssue>& list) {
  model::write_array(w, list, [](model::JsonWriter& aw, const report::ReportIssue& i) {
    model::ObjectWriter e(aw);
    e.str("code", std::string_view(i.code));
    e.str("message", std::string_view(i.message));
  });
}

// Each signature file: which method verified it and who the signer is.
void write_signatures(model::JsonWriter& w, const SignedRun& run) {
  model::write_array(w, run.checks, [](model::JsonWriter& aw, const SignatureCheck& c) {
    model::ObjectWriter s(aw);
    s.str("path", std::string_view(c.path));
    if (c.external) {
      s.str("method", std::string_view(c.external->first));
      s.str("signer", std::string_view(c.external->second));
      s.boolean("verified", true);
      s.key("certificate").null();
      return;
    }
    // A trusted key decides before a certificate: the raw key is the narrower trust.
    const CertifiedSigner* cert = c.certified ? &*c.certified : nullptr;
    const Key* k = c.matched != nullptr ? c.matched : cert != nullptr ? &cert->key : nullptr;
    const bool by_key = c.matched != nullptr;
    using report::OptString;
    s.str("method", k ? OptString(by_key ? "key" : "certificate") : std::nullopt);
    s.str("signer", k ? OptString(by_key ? k->id : cert->identity) : std::nullopt);
    s.str("key_id", k ? OptString(k->id) : std::nullopt);
    s.str("key_type", k ? OptString(std::string(key_type_name(k->type))) : std::nullopt);
    s.boolean("verified", k != nullptr);
    s.str("trusted_key", by_key ? OptString(k->path) : std::nullopt);
    const bool hinted = c.envelope && !c.envelope->keyid.empty();
    s.str("key_hint", hinted ? OptString(c.envelope->keyid) : std::nullopt);
    if (cert == nullptr) {
      s.key("certificate").null();
      return;
    }
    model::ObjectWriter o(s.key("certificate"));
    o.str("subject", std::string_view(cert->subject));
    o.str("issuer", std::string_view(cert->issuer));
    o.str("identity", std::string_view(cert->identity));
    model::write_array(o.key("identities"), cert->identities,
                       [](model::JsonWriter& iw, const std::string& n) { iw.string(n); });
    o.str("trust_root", std::string_view(cert->root));
  });
}

void write_signature_part(model::JsonWriter& w, const SignedRun& run) {
  model::ObjectWriter o(w);
  o.boolean("ok", run.issues.empty());
  o.u64("threshold", run.options.threshold);
  o.u64("trusted_signers", run.distinct_signers);
  write_key_ids(o.key("trusted_key_ids"), run.keys);
  o.str("manifest_sha256", run.manifest_sha256);
  write_signatures(o.key("signatures"), run);
  model::write_array(o.key("unpinned_resources"), run.unpinned,
                     [](model::JsonWriter& aw, const std::string& n) { aw.string(n); });
  model::write_array(o.key("missing_resources"), run.missing,
                     [](model::JsonWriter& aw, const std::string& n) { aw.string(n); });
  write_issues(o.key("warnings"), run.warnings);
  write_issues(o.key("errors"), run.issues);
}

// The result: the report (a refusal before the pass gets one of its own, with no facts),
// the signature part, the plan, and the files the pass read (for the loader's opens).
std::string signed_result(const SignedRun& run, std::optional<report::VerificationReport> pass,
                          const std::optional<std::string>& plan = std::nullopt,
                          const std::vector<verify::ReadFile>& read = {}) {
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
    write_read_files(o.key("files"), read);
  }
  return w.take();
}

// The trusted keys (one per id), the threshold against them, and the signature files to read.
// Errors: an unreadable key, an impossible threshold.
Status prepare_run(SignedRun& run) {
  const SignedVerifyOptions& options = run.options;
  if (options.trusted_keys.empty() && options.certificates.trust_roots.empty()) {
    // The identity options narrow a trust source; alone they are no trust at all.
    if (options.certificates.identity || options.certificates.identity_regexp) {
      return issues::identity_without_roots();
    }
    return issues::no_trusted_keys();
  }
  TAMREL_TRY(run.trust, load_trust(options.certificates));
  std::set<std::string> ids;
  for (const fs::path& path : options.trusted_keys) {
    TAMREL_TRY(Key key, read_public_key(path));
    // One key in two files (or two encodings) is one trusted key.
    if (ids.insert(key.id).second) run.keys.push_back(std::move(key));
  }
  // Each trusted key is one trust option, the certificate policy another.
  const std::size_t trust_options = ids.size() + (run.trust.empty() ? 0 : 1);
  if (options.threshold == 0 || options.threshold > trust_options) {
    return issues::threshold_invalid(options.threshold);
  }
  if (options.signatures.empty()) {
    run.checks.push_back(SignatureCheck{
        path_display(default_signature_path(options.manifest)), {}, nullptr, {}, {}, {}});
  }
  for (const fs::path& p : options.signatures)
    run.checks.push_back(SignatureCheck{path_display(p), {}, nullptr, {}, {}, {}});
  return {};
}

// ---- a directory or one file checked against its signatures alone ----

bool under(std::string_view name, std::string_view path) {
  return name == path ||
         (name.starts_with(path) && name.size() > path.size() && name[path.size()] == '/');
}

bool ignored_by(std::string_view name, const std::vector<std::string>& paths) {
  return std::any_of(paths.begin(), paths.end(),
                     [&](const std::string& p) { return under(name, p); });
}

struct TreeRun {
  SignedRun& run;
  const SignatureVerifyOptions& options;
  int root = -1;
  std::vector<std::string> ignored;          // the caller's, and the signature files inside
  std::map<std::string, std::string> found;  // name -> SHA-256 of each file hashed
  std::set<std::string> refused;             // entries met that could not be hashed (said why)
  std::uint64_t bytes = 0;
  bool stopped = false;  // a limit ended the walk: nothing is said of what was not reached
};

// The verified statements, the ones a signature refuses aside.
std::vector<const SignatureCheck*> verified(const SignedRun& run) {
  std::vector<const SignatureCheck*> out;
  for (const SignatureCheck& c : run.checks) {
    if (c.statement) out.push_back(&c);
  }
  return out;
}

// One file hashed under what is left of the byte bound. A file that grows past it while read
// is the bound's refusal too.
void hash_entry(TreeRun& t, const std::string& name, Result<UniqueFd> file) {
  if (!file) {
    const ManifestError& e = file.error();
    t.run.issues.push_back(issues::signature_entry_unreadable(
        quoted(name), e.os_errno == EXDEV ? std::string(issues::SIGNATURE_LINK_OUT) : e.message));
    t.refused.insert(name);
    return;
  }
  auto size = io::file_size(file->get());
  if (size && *size > t.options.max_bytes - t.bytes) {
    t.run.issues.push_back(issues::signature_tree_too_large(
        quoted(path_display(t.options.path)),
        fmt::format("more than {} bytes (max_bytes) with {}", t.options.max_bytes, quoted(name))));
    t.stopped = true;
    return;
  }
  auto digest =
      io::bounded_read_digest(file->get(), name, t.options.max_bytes - t.bytes,
                              issues::signature_tree_too_large.code, issues::SIGNED_FILES_LABEL);
  if (!digest) {
    if (digest.error().variant == ManifestError::Variant::Context) {
      t.run.issues.push_back(as_issue(std::move(digest).error()));
      t.stopped = true;
    } else {
      t.run.issues.push_back(
          issues::signature_entry_unreadable(quoted(name), digest.error().message));
      t.refused.insert(name);
    }
    return;
  }
  t.bytes += digest->size_bytes;
  t.found.emplace(name, std::move(digest->sha256));
}

// Every entry of the directory: ignored ones skipped unread, directories walked, links followed
// (inside the directory only) where every signature allows them, regular files hashed, anything
// else refused.
void walk_tree(TreeRun& t) {
  const std::vector<const SignatureCheck*> checks = verified(t.run);
  const SignatureCheck* no_links = nullptr;
  for (const SignatureCheck* c : checks) {
    if (!c->statement->allow_symlinks && no_links == nullptr) no_links = c;
  }
  const auto skipped = [&](const std::string& name) {
    if (ignored_by(name, t.ignored)) return true;
    // What every signature ignores is nobody's file; what only some ignore is hashed for the rest.
    return !checks.empty() &&
           std::all_of(checks.begin(), checks.end(), [&](const SignatureCheck* c) {
             return ignored_by(name, c->statement->ignore_paths);
           });
  };
  const WalkVisitor visit = [&](const WalkEntry& e) -> Result<Visit> {
    if (skipped(e.name)) return Visit::Skip;
    if (!e.utf8) {
      t.run.issues.push_back(issues::signature_name_not_utf8(quoted(e.name)));
      t.refused.insert(e.name);
      return Visit::Skip;
    }
    if (S_ISDIR(e.st.st_mode)) return Visit::Descend;
    if (S_ISLNK(e.st.st_mode)) {
      if (no_links != nullptr) {
        t.run.issues.push_back(
            issues::signature_link_not_allowed(quoted(e.name), quoted(no_links->path)));
        t.refused.insert(e.name);
        return Visit::Skip;
      }
      hash_entry(t, e.name,
                 io::open_for_read_at(t.root, e.name, io::Resolve::Beneath, io::Origin::Manifest));
    } else if (S_ISREG(e.st.st_mode)) {
      hash_entry(
          t, e.name,
          io::open_for_read_at(e.parent_fd, e.leaf, io::Resolve::NoSymlinks, io::Origin::Manifest));
    } else {
      t.run.issues.push_back(issues::signature_entry_unreadable(
          quoted(e.name), "neither a regular file nor a directory; it is not opened"));
      t.refused.insert(e.name);
    }
    if (t.stopped) return ManifestError::invalid("stopped");
    return Visit::Skip;
  };
  const WalkFailure failed = [&](std::string_view where, int err, std::string_view why) {
    const std::string shown = where.empty() ? path_display(t.options.path) : std::string(where);
    t.stopped = true;
    if (err == 0) {
      t.run.issues.push_back(issues::signature_tree_too_large(quoted(shown), why));
    } else {
      t.run.issues.push_back(issues::signature_entry_unreadable(
          quoted(shown), std::error_code(err, std::generic_category()).message()));
    }
    return ManifestError::invalid("stopped");
  };
  (void)walk_directory(t.root, t.options.walk, visit, failed);
}

// Each verified statement against what the walk found: every file present signed with its
// digest, every signed file present.
void compare_tree(TreeRun& t) {
  for (const SignatureCheck* c : verified(t.run)) {
    const Statement& st = *c->statement;
    const std::string sig = quoted(c->path);
    for (const std::string& ig : t.ignored) {
      for (const Resource& r : st.resources) {
        if (under(r.name, ig)) {
          t.run.issues.push_back(
              issues::signature_ignored_signed_file(quoted(ig), quoted(r.name), sig));
        }
      }
    }
    // By name: a tree of a million signed files is compared in one pass, not a million.
    std::unordered_map<std::string_view, const Resource*> by_name;
    for (const Resource& r : st.resources) by_name.emplace(r.name, &r);
    for (const auto& [name, sha256] : t.found) {
      if (ignored_by(name, st.ignore_paths)) continue;
      const auto at = by_name.find(name);
      const Resource* r = at == by_name.end() ? nullptr : at->second;
      if (r == nullptr) {
        t.run.issues.push_back(issues::signature_unsigned_file(quoted(name), sig));
      } else if (r->sha256 != sha256) {
        t.run.issues.push_back(
            issues::signature_file_changed(quoted(name), sig, r->sha256, sha256));
      }
    }
    if (t.stopped) continue;
    for (const Resource& r : st.resources) {
      if (!t.found.contains(r.name) && !t.refused.contains(r.name) &&
          !ignored_by(r.name, t.ignored)) {
        t.run.issues.push_back(issues::signature_signed_file_absent(quoted(r.name), sig));
      }
    }
  }
}

// One file: each statement names exactly it, as ".".
void check_one_file(TreeRun& t) {
  const std::string shown = quoted(path_display(t.options.path));
  bool named = true;
  for (const SignatureCheck* c : verified(t.run)) {
    const Statement& st = *c->statement;
    if (st.resources.size() != 1 || st.resources.front().name != ".") {
      t.run.issues.push_back(
          issues::signature_not_of_a_file(shown, quoted(c->path), st.resources.size()));
      named = false;
    }
  }
  if (!named) return;
  const int copy = ::fcntl(t.root, F_DUPFD_CLOEXEC, 0);
  hash_entry(t, ".",
             copy >= 0 ? Result<UniqueFd>(UniqueFd(copy)) : ManifestError::from_errno(errno));
  const auto at = t.found.find(".");
  if (at == t.found.end()) return;
  for (const SignatureCheck* c : verified(t.run)) {
    const Resource& r = c->statement->resources.front();
    if (r.sha256 != at->second) {
      t.run.issues.push_back(
          issues::signature_file_changed(shown, quoted(c->path), r.sha256, at->second));
    }
  }
}

std::string tree_result(const TreeRun& t, std::string_view kind) {
  const SignedRun& run = t.run;
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    o.boolean("ok", run.issues.empty());
    o.str("path", std::string_view(path_display(t.options.path)));
    o.str("kind", kind.empty() ? std::nullopt : report::OptString(std::string(kind)));
    o.u64("threshold", run.options.threshold);
    o.u64("trusted_signers", run.distinct_signers);
    write_key_ids(o.key("trusted_key_ids"), run.keys);
    write_signatures(o.key("signatures"), run);
    model::write_array(o.key("files"), t.found,
                       [](model::JsonWriter& aw, const auto& f) { aw.string(f.first); });
    o.u64("bytes", t.bytes);
    model::write_array(o.key("ignored"), t.ignored,
                       [](model::JsonWriter& aw, const std::string& p) { aw.string(p); });
    write_issues(o.key("warnings"), run.warnings);
    write_issues(o.key("errors"), run.issues);
  }
  return w.take();
}

// The run of a statement verified elsewhere: one signer, its statement read as any other.
void take_verified(SignedRun& run, const VerifiedStatement& verified) {
  SignatureCheck check{verified.signature_path, Envelope{}, nullptr, {}, {}, {}};
  check.envelope->payload = verified.payload;
  check.external.emplace(verified.method, verified.signer);
  auto statement = decode_statement(verified.payload, quoted(check.path), run.single_file);
  if (!statement) {
    run.issues.push_back(as_issue(std::move(statement).error()));
  } else {
    check.statement = std::move(statement).value();
    run.distinct_signers = 1;
  }
  run.checks.push_back(std::move(check));
}

// The caller's ignore paths, normal, each inside the directory. Errors: Invalid.
Result<std::vector<std::string>> normal_ignore_paths(const SignatureVerifyOptions& options) {
  std::vector<std::string> ignored;
  for (const std::string& p : options.ignore_paths) {
    std::string normal = posix_normal(p);
    if (normal == "." || normal.front() == '/' || under(normal, "..") ||
        normal.find("/../") != std::string::npos || normal.ends_with("/..") ||
        p.find('\0') != std::string::npos) {
      return issues::ignore_path_invalid(quoted(p));
    }
    ignored.push_back(std::move(normal));
  }
  return ignored;
}

// The one binding of verified statements to a directory or a file, whichever method verified
// them (`signers` decides who signed, after the path is opened and before anything below it is).
Result<std::string> check_tree(SignedRun& run, const SignatureVerifyOptions& options,
                               std::vector<std::string> ignored,
                               const std::function<void(SignedRun&)>& signers) {
  TreeRun t{run, options, -1, {}, {}, {}, 0, false};
  // The path is the caller's: a link there is followed. What lies below it is not.
  UniqueFd root(::open(options.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  std::string_view kind;
  if (!root.valid() || ::fstat(root.get(), &st) != 0) {
    run.issues.push_back(issues::signature_path_unreadable(
        quoted(path_display(options.path)),
        std::error_code(errno, std::generic_category()).message()));
  } else if (S_ISDIR(st.st_mode)) {
    kind = "directory";
  } else if (S_ISREG(st.st_mode)) {
    kind = "file";
    run.single_file = true;
  } else {
    run.issues.push_back(issues::signature_path_unreadable(
        quoted(path_display(options.path)), "neither a regular file nor a directory"));
  }
  if (!run.issues.empty()) return tree_result(t, kind);
  t.root = root.get();
  signers(run);
  if (!run.issues.empty()) return tree_result(t, kind);

  if (run.single_file) {
    check_one_file(t);
    return tree_result(t, kind);
  }
  // A signature file kept inside the directory is not one of its signed files.
  t.ignored = std::move(ignored);
  if (auto dir = verify::canonicalize(options.path); dir) {
    for (const SignatureCheck& c : run.checks) {
      auto sig = verify::canonicalize(c.path);
      if (!sig) continue;
      if (auto name = name_in(*sig, *dir); name && !ignored_by(*name, t.ignored)) {
        t.ignored.push_back(std::move(*name));
      }
    }
  }
  walk_tree(t);
  compare_tree(t);
  return tree_result(t, kind);
}

}  // namespace

Result<std::string> verify_signature_json(const SignatureVerifyOptions& options) {
  if (options.signatures.empty()) return issues::no_signature_given();
  TAMREL_TRY(std::vector<std::string> ignored, normal_ignore_paths(options));
  SignedVerifyOptions signed_options;
  signed_options.manifest = options.path;
  signed_options.trusted_keys = options.trusted_keys;
  signed_options.certificates = options.certificates;
  signed_options.signatures = options.signatures;
  signed_options.threshold = options.threshold;
  signed_options.max_signature_bytes = options.max_signature_bytes;
  SignedRun run{signed_options, {}, {}, {}, {}, {}, {}, {}, {}, 0};
  TAMREL_CHECK(prepare_run(run));
  return check_tree(run, options, std::move(ignored), [](SignedRun& r) {
    read_signatures(r);
    if (r.issues.empty()) check_signers(r);
  });
}

Result<std::string> bind_verified_tree_json(const SignatureVerifyOptions& options,
                                            const VerifiedStatement& verified) {
  TAMREL_TRY(std::vector<std::string> ignored, normal_ignore_paths(options));
  SignedVerifyOptions signed_options;
  signed_options.manifest = options.path;
  SignedRun run{signed_options, {}, {}, {}, {}, {}, {}, {}, {}, 0};
  return check_tree(run, options, std::move(ignored),
                    [&](SignedRun& r) { take_verified(r, verified); });
}

fs::path default_signature_path(const fs::path& manifest) {
  fs::path sig = manifest;
  sig += ".sig";
  return sig;
}

Result<std::string> sign_manifest_json(const SignOptions& options, std::string* refused_report) {
  TAMREL_TRY(const Key key, read_private_key(options.key, options.password));
  std::vector<std::string> chain;
  if (!options.certificate_chain.empty()) {
    if (key.type == KeyType::Ed25519) return issues::sign_certificate_not_ecdsa(quoted(key.path));
    TAMREL_TRY(chain, read_certificate_chain(options.certificate_chain, key));
  }
  TAMREL_TRY(const std::string bytes,
             model::read_manifest_text(options.manifest, options.verify.limits.max_manifest_bytes));
  TAMREL_TRY(const model::IndexManifest manifest, model::decode_manifest(bytes));
  std::vector<verify::ReadFile> read;
  verify::VerifyOptions verify_options = options.verify;
  verify_options.read_files = &read;
  const report::VerificationReport report =
      verify::verify_loaded_manifest(manifest, options.manifest, verify_options);
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
  TAMREL_CHECK(check_signature_target(sig_path, options.manifest, read));
  // The signature's name in the directory (which a first signing has not written yet).
  std::string sig_name;
  if (auto sig_dir = verify::canonicalize(directory_of(sig_path)); sig_dir) {
    if (auto name = name_in(*sig_dir / sig_path.filename(), dir); name) sig_name = *name;
  }
  std::set<std::string> names;
  for (const Resource& r : statement.resources) names.insert(r.name);
  TAMREL_CHECK(walk_signed_directory(dir, names, sig_name, statement.ignore_paths));
  if (!sig_name.empty() && std::find(statement.ignore_paths.begin(), statement.ignore_paths.end(),
                                     sig_name) == statement.ignore_paths.end()) {
    // Unless a directory already ignored holds it.
    const bool covered =
        std::any_of(statement.ignore_paths.begin(), statement.ignore_paths.end(),
                    [&](const std::string& p) { return sig_name.starts_with(p + "/"); });
    if (!covered) statement.ignore_paths.push_back(sig_name);
  }
  std::sort(statement.ignore_paths.begin(), statement.ignore_paths.end());

  Envelope envelope;
  envelope.payload = statement_json(statement);
  TAMREL_TRY(envelope.signature, sign_bytes(key, pae(envelope.payload)));
  envelope.keyid = key.id;
  envelope.public_key_hint = key.hint;
  envelope.certificates = std::move(chain);
  TAMREL_CHECK(write_signature_file(sig_path, bundle_json(envelope)));

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

namespace {

// The one binding of verified statements to a manifest, whichever method verified them: the
// manifest's digest before any pinned file is read, then the pass, then every pinned file.
Result<std::string> bind_manifest(SignedRun& run) {
  const SignedVerifyOptions& options = run.options;
  // One read: the digest compared and the text decoded are of the same bytes.
  TAMREL_TRY(const std::string bytes,
             model::read_manifest_text(options.manifest, options.verify.limits.max_manifest_bytes));
  check_manifest_digest(run, bytes);
  if (!run.issues.empty()) return signed_result(run, std::nullopt);
  TAMREL_TRY(const model::IndexManifest manifest, model::decode_manifest(bytes));
  std::vector<verify::ReadFile> read;
  verify::VerifyOptions verify_options = options.verify;
  if (options.load_plan) verify_options.read_files = &read;
  report::VerificationReport report =
      verify::verify_loaded_manifest(manifest, options.manifest, verify_options);
  check_pinned(run, report, manifest);
  std::optional<std::string> plan;
  if (options.load_plan && report.ok && run.issues.empty()) {
    TAMREL_TRY(plan, verify::load_plan_json(options.manifest, report));
  }
  return signed_result(run, std::move(report), plan, read);
}

}  // namespace

Result<std::string> verify_signed_json(const SignedVerifyOptions& options) {
  SignedRun run{options, {}, {}, {}, {}, {}, {}, {}, {}, 0};
  TAMREL_CHECK(prepare_run(run));
  read_signatures(run);
  if (run.issues.empty()) check_signers(run);
  if (!run.issues.empty()) return signed_result(run, std::nullopt);
  return bind_manifest(run);
}

Result<std::string> bind_verified_manifest_json(const SignedVerifyOptions& options,
                                                const VerifiedStatement& verified) {
  SignedVerifyOptions one = options;
  one.threshold = 1;
  SignedRun run{one, {}, {}, {}, {}, {}, {}, {}, {}, 0};
  take_verified(run, verified);
  if (!run.issues.empty()) return signed_result(run, std::nullopt);
  return bind_manifest(run);
}

Result<std::string> verify_for_load_files_json(const fs::path& manifest_path,
                                               const verify::VerifyOptions& options) {
  TAMREL_TRY(const model::IndexManifest manifest,
             model::load_manifest(manifest_path, options.limits.max_manifest_bytes));
  std::vector<verify::ReadFile> read;
  verify::VerifyOptions verify_options = options;
  verify_options.read_files = &read;
  const report::VerificationReport report =
      verify::verify_loaded_manifest(manifest, manifest_path, verify_options);
  std::string refused_report;
  auto plan = verify::load_plan_json(manifest_path, report, &refused_report);
  if (!plan.ok() && refused_report.empty()) return std::move(plan).error();
  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter o(w);
    if (plan.ok()) {
      o.key("plan").raw(*plan);
      o.key("report").null();
      o.key("refusal").null();
    } else {
      o.key("plan").null();
      o.key("report").raw(refused_report);
      o.str("refusal", std::string_view(plan.error().message));
    }
    write_read_files(o.key("files"), read);
  }
  return w.take();
}

}  // namespace tamrel::sign
