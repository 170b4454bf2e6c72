#include "model/codec.hpp"

#include "io/digest.hpp"
#include "model/issues.hpp"
#include "model/schema.hpp"

namespace tamrel::model {
namespace detail {

JsonValue canonical_copy(const JsonValue& v) {
  JsonValue out;
  if (const JsonArray* items = v.as_array()) {
    JsonArray& copy = out.v.emplace<JsonArray>();
    copy.reserve(items->size());
    for (const JsonValue& item : *items) copy.push_back(canonical_copy(item));
  } else if (const JsonObject* obj = v.as_object()) {
    JsonObject& copy = out.v.emplace<JsonObject>();
    copy.members.reserve(obj->size());
    for (const JsonMember& m : obj->members)
      copy.members.emplace_back(m.first, canonical_copy(m.second));
    copy.normalize();
  } else {
    out = v;
  }
  return out;
}

namespace {

template <class R>
Result<R> decode_document(std::string_view text) {
  Reader reader(text);
  R record;
  if (!Rec<R>::json(reader, record) || !reader.end_document()) return reader.take_error();
  return record;
}

}  // namespace
}  // namespace detail

Result<IndexManifest> decode_manifest(std::string_view text) {
  auto arena = std::make_shared<TreeArena>();
  detail::Reader reader(text, arena.get());
  IndexManifest manifest;
  manifest.tree_memory = TreeMemory(std::move(arena));
  if (!detail::Rec<IndexManifest>::json(reader, manifest) || !reader.end_document()) {
    return reader.take_error();
  }
  return manifest;
}

Result<JsonlRow> decode_jsonl_row(std::string_view line) {
  return detail::decode_document<JsonlRow>(line);
}

Result<std::string> read_manifest_text(const std::filesystem::path& path,
                                       std::uint64_t max_manifest_bytes) {
  return io::bounded_read(path, max_manifest_bytes, issues::manifest_file_too_large,
                          "manifest file", io::Origin::Caller);
}

Result<IndexManifest> load_manifest(const std::filesystem::path& path,
                                    std::uint64_t max_manifest_bytes) {
  TAMREL_TRY(const std::string text, read_manifest_text(path, max_manifest_bytes));
  return decode_manifest(text);
}

std::string manifest_to_json(const IndexManifest& manifest) {
  JsonWriter w(JsonWriter::Layout::Compact);
  detail::Rec<IndexManifest>::write(w, manifest);
  return w.take();
}

Status write_manifest_pretty(const IndexManifest& manifest, int fd) {
  JsonWriter w(JsonWriter::Layout::Pretty, fd);
  detail::Rec<IndexManifest>::write(w, manifest);
  return w.finish();
}

std::string manifest_to_pretty_json(const IndexManifest& manifest) {
  JsonWriter w(JsonWriter::Layout::Pretty);
  detail::Rec<IndexManifest>::write(w, manifest);
  return w.take();
}

}  // namespace tamrel::model
