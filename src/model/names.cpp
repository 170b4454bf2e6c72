#include <algorithm>

#include "model/records.hpp"

namespace tamrel::model {

const char* to_json_name(ManifestIndexKind kind) {
  static constexpr const char* kNames[] = {"rank", "rank_quant", "bitmap", "sign_bitmap"};
  return kNames[static_cast<int>(kind)];
}

const char* to_json_name(ProfileParameterization p) {
  static constexpr const char* kNames[] = {"marginal_topk_frequency", "bucket_frequency",
                                           "sign_frequency", "rank_position_frequency",
                                           "empirical_tail_table"};
  return kNames[static_cast<int>(p)];
}

const char* message_name(ProfileParameterization p) {
  static constexpr const char* kNames[] = {"MarginalTopKFrequency", "BucketFrequency",
                                           "SignFrequency", "RankPositionFrequency",
                                           "EmpiricalTailTable"};
  return kNames[static_cast<int>(p)];
}

const char* to_json_name(DistortionEvidenceKind kind) {
  static constexpr const char* kNames[] = {"certified", "empirical_sample", "benchmark_estimate",
                                           "teacher_estimate", "caller_asserted"};
  return kNames[static_cast<int>(kind)];
}

const char* params_tag(const ManifestIndexParams& params) {
  static constexpr const char* kNames[] = {"rank", "rank_quant", "bitmap", "sign_bitmap"};
  return kNames[params.index()];
}

const char* row_identity_tag(const RowIdentity& ri) {
  static constexpr const char* kNames[] = {"row_id_identity", "jsonl"};
  return kNames[ri.index()];
}

const char* ordinalization_tag(const CalibrationOrdinalization& o) {
  static constexpr const char* kNames[] = {"top_k", "bucket", "sign", "rank_position",
                                           "caller_defined"};
  return kNames[o.index()];
}

const char* null_model_tag(const NullModelSpec& n) {
  static constexpr const char* kNames[] = {"uniform_hypergeometric", "weighted_marginal_profile",
                                           "empirical_tail_table", "caller_defined"};
  return kNames[n.index()];
}

const JsonValue* JsonObject::find(std::string_view key) const {
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const auto& m, std::string_view k) { return m.first < k; });
  if (it == members.end() || it->first != key) return nullptr;
  return &it->second;
}

void JsonObject::normalize() {
  // Stable sort keeps repeated keys in input order; the last of each run wins.
  std::stable_sort(members.begin(), members.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t out = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    if (out != i) members[out] = std::move(members[i]);
    ++out;
  }
  members.resize(out);
}

const JsonValue* json_pointer(const JsonValue& root, std::string_view pointer) {
  const JsonValue* cur = &root;
  if (pointer.empty()) return cur;
  if (pointer.front() != '/') return nullptr;
  std::size_t pos = 1;
  for (;;) {
    const std::size_t end = std::min(pointer.find('/', pos), pointer.size());
    std::string token;
    const std::string_view raw = pointer.substr(pos, end - pos);
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '~' && i + 1 < raw.size() && (raw[i + 1] == '0' || raw[i + 1] == '1')) {
        token += raw[i + 1] == '0' ? '~' : '/';
        ++i;
      } else if (raw[i] == '~') {
        return nullptr;  // "~" must be followed by 0 or 1
      } else {
        token += raw[i];
      }
    }
    if (const auto* obj = cur->as_object()) {
      cur = obj->find(token);
      if (cur == nullptr) return nullptr;
    } else if (const auto* arr = cur->as_array()) {
      // Decimal index without leading zeros ("0" alone is fine).
      if (token.empty() || (token.size() > 1 && token[0] == '0')) return nullptr;
      std::size_t idx = 0;
      for (char c : token) {
        if (c < '0' || c > '9') return nullptr;
        if (idx > (SIZE_MAX - 9) / 10) return nullptr;
        idx = idx * 10 + static_cast<std::size_t>(c - '0');
      }
      if (idx >= arr->size()) return nullptr;
      cur = &(*arr)[idx];
    } else {
      return nullptr;
    }
    if (end == pointer.size()) return cur;
    pos = end + 1;
  }
}

}  // namespace tamrel::model
