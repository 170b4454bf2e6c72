// Decode; when that succeeds, encode, decode the encoding and require the same text again.
#include <cstdlib>
#include <string_view>

#include "model/codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = tamrel::model::decode_manifest(text);
  if (!first.ok()) return 0;
  const std::string once = tamrel::model::manifest_to_json(*first);
  auto second = tamrel::model::decode_manifest(once);
  if (!second.ok()) std::abort();
  if (tamrel::model::manifest_to_json(*second) != once) std::abort();
  auto third = tamrel::model::decode_manifest(tamrel::model::manifest_to_pretty_json(*first));
  if (!third.ok() || tamrel::model::manifest_to_json(*third) != once) std::abort();
  return 0;
}
