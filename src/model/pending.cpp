// Placeholders until the decoder and the writers land.
#include "base/panic.hpp"
#include "model/codec.hpp"

namespace tamrel::model {

Result<IndexManifest> decode_manifest(std::string_view) { throw Unimplemented{"decode_manifest"}; }
Result<JsonlRow> decode_jsonl_row(std::string_view) { throw Unimplemented{"decode_jsonl_row"}; }
Result<IndexManifest> load_manifest(const std::filesystem::path&, std::uint64_t) {
  throw Unimplemented{"inspect_manifest is not implemented yet"};
}
std::string manifest_to_json(const IndexManifest&) { throw Unimplemented{"manifest_to_json"}; }
Status write_manifest_pretty(const IndexManifest&, int) {
  throw Unimplemented{"write_manifest_pretty"};
}
std::string manifest_to_pretty_json(const IndexManifest&) {
  throw Unimplemented{"manifest_to_pretty_json"};
}

}  // namespace tamrel::model
