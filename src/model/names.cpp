#include <algorithm>
#include <cstddef>
#include <string_view>

#include "model/records.hpp"
#include "model/schema.hpp"

namespace tamrel::model {

namespace {

// The decoder's and writer's tables (schema.hpp) serve here too. Their entries view string
// literals, so each one ends with a NUL and may be handed out as a C string.
template <class Names>
constexpr bool nul_terminated(const Names& names) {
  for (const std::string_view n : names) {
    if (n.data()[n.size()] != '\0') return false;
  }
  return true;
}

template <class E>
const char* enum_name(E value) {
  constexpr const auto& names = detail::EnumTraits<E>::names;
  static_assert(nul_terminated(names));
  return names[static_cast<std::size_t>(value)].data();
}

template <class U>
const char* union_tag(const U& value) {
  constexpr const auto& tags = detail::UnionTraits<U>::tags;
  static_assert(nul_terminated(tags));
  return tags[value.index()].data();
}

}  // namespace

const char* to_json_name(ManifestIndexKind kind) { return enum_name(kind); }
const char* to_json_name(ProfileParameterization p) { return enum_name(p); }
const char* to_json_name(DistortionEvidenceKind kind) { return enum_name(kind); }

const char* message_name(ProfileParameterization p) {
  static constexpr const char* kNames[] = {"MarginalTopKFrequency", "BucketFrequency",
                                           "SignFrequency", "RankPositionFrequency",
                                           "EmpiricalTailTable"};
  return kNames[static_cast<int>(p)];
}

const char* params_tag(const ManifestIndexParams& params) { return union_tag(params); }
const char* row_identity_tag(const RowIdentity& ri) { return union_tag(ri); }
const char* ordinalization_tag(const CalibrationOrdinalization& o) { return union_tag(o); }
const char* null_model_tag(const NullModelSpec& n) { return union_tag(n); }

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
