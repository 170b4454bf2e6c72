// Attestations: their shape, and whether one of them names the index file by its digest.
#include <string>

#include "model/json_value.hpp"
#include "verify/issues.hpp"
#include "verify/stages.hpp"

namespace tamrel::verify {
namespace {

using model::JsonValue;

report::OptString string_at(const JsonValue& root, std::string_view pointer) {
  const JsonValue* v = model::json_pointer(root, pointer);
  if (v == nullptr) return std::nullopt;
  if (const model::JsonString* s = v->as_string()) return std::string(*s);
  return std::nullopt;
}

// "predicateType" wins whenever it is present, even with a value that is not a string.
report::OptString predicate_type(const JsonValue& attestation) {
  const model::JsonObject* obj = attestation.as_object();
  if (obj == nullptr) return std::nullopt;
  const JsonValue* v = obj->find("predicateType");
  if (v == nullptr) v = obj->find("predicate_type");
  if (v == nullptr) return std::nullopt;
  if (const model::JsonString* s = v->as_string()) return std::string(*s);
  return std::nullopt;
}

// The first pointer that resolves decides, even when its value is not a string.
report::OptString builder_id(const JsonValue& attestation) {
  for (const std::string_view pointer :
       {"/predicate/builder/id", "/predicate/runDetails/builder/id"}) {
    if (model::json_pointer(attestation, pointer) != nullptr) {
      return string_at(attestation, pointer);
    }
  }
  return std::nullopt;
}

bool subject_matches(const JsonValue& attestation, const std::string& expected) {
  const model::JsonObject* obj = attestation.as_object();
  if (obj == nullptr) return false;
  const JsonValue* subject = obj->find("subject");
  const model::JsonArray* list = subject ? subject->as_array() : nullptr;
  if (list == nullptr) return false;
  for (const JsonValue& element : *list) {
    const report::OptString digest = string_at(element, "/digest/sha256");
    if (digest && *digest == expected) return true;
  }
  return false;
}

}  // namespace

void verify_attestations(report::VerificationReport& report, const PassInput& in) {
  const auto& attestations = in.manifest.attestations;
  if (attestations.empty()) {
    report.skipped_checks.emplace_back("attestations_absent");
    return;
  }
  // The digest measured on disk when the hashing pass succeeded, the declared one otherwise.
  const std::string& expected =
      report.artifact.sha256 ? *report.artifact.sha256 : in.manifest.artifact.sha256;
  bool any_matched = false;
  for (std::size_t i = 0; i < attestations.size(); ++i) {
    const JsonValue& a = attestations[i];
    report::AttestationShapeCheck check;
    check.predicate_type = predicate_type(a);
    if (!check.predicate_type) {
      report::add_issue(report.errors, issues::attestation_predicate_type_missing(i));
    }
    check.builder_id = builder_id(a);
    check.subject_sha256_matched = subject_matches(a, expected);
    any_matched = any_matched || check.subject_sha256_matched;
    report.attestation_shape_checks.push_back(std::move(check));
  }
  if (!any_matched) {
    report::add_issue(report.errors, issues::attestation_subject_sha256_mismatch());
  }
}

}  // namespace tamrel::verify
