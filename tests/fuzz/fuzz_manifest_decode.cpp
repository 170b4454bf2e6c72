// Decode; when that succeeds, every object of the trees must be sorted with unique keys, the
// encoding must decode to the same text again, and copies and moves of the manifest must keep
// their trees whole after the manifests they came from are gone, and a record assigned decode
// after decode keeps only the arena of the last one.
#include <cstdlib>
#include <optional>
#include <string_view>

#include "model/codec.hpp"

namespace {

using tamrel::model::IndexManifest;
using tamrel::model::JsonValue;

bool sorted(const JsonValue& v) {
  if (const auto* items = v.as_array()) {
    for (const JsonValue& item : *items) {
      if (!sorted(item)) return false;
    }
  } else if (const auto* obj = v.as_object()) {
    for (std::size_t i = 0; i < obj->members.size(); ++i) {
      if (i > 0 && !(obj->members[i - 1].first < obj->members[i].first)) return false;
      if (!sorted(obj->members[i].second)) return false;
    }
  }
  return true;
}

bool sorted(const IndexManifest& m) {
  for (const JsonValue& a : m.attestations) {
    if (!sorted(a)) return false;
  }
  JsonValue ext;
  ext.v = m.extensions;
  return sorted(ext);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = tamrel::model::decode_manifest(text);
  if (!first.ok()) return 0;
  if (!sorted(*first)) std::abort();
  const std::string once = tamrel::model::manifest_to_json(*first);
  auto second = tamrel::model::decode_manifest(once);
  if (!second.ok()) std::abort();
  if (tamrel::model::manifest_to_json(*second) != once) std::abort();
  auto third = tamrel::model::decode_manifest(tamrel::model::manifest_to_pretty_json(*first));
  if (!third.ok() || tamrel::model::manifest_to_json(*third) != once) std::abort();

  std::optional<IndexManifest> held;
  {
    auto other = tamrel::model::decode_manifest(text);
    IndexManifest target = *first;    // a copy
    target = std::move(*other);       // trees moved in from a manifest about to go
    held.emplace(std::move(target));  // and moved on again
  }
  if (tamrel::model::manifest_to_json(*held) != once) std::abort();
  IndexManifest assigned;
  assigned = *held;
  held.reset();
  if (tamrel::model::manifest_to_json(assigned) != once) std::abort();

  IndexManifest reused = std::move(*first);
  for (int round = 0; round < 3; ++round) {
    auto next = tamrel::model::decode_manifest(once);
    if (!next.ok()) std::abort();
    const auto* arena = next->tree_memory.arena();
    reused = std::move(*next);
    if (reused.tree_memory.arena() != arena) std::abort();
  }
  if (tamrel::model::manifest_to_json(reused) != once) std::abort();
  return 0;
}
