#include "model/writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "model/json_text.hpp"
#include "model/messages.hpp"

namespace tamrel::model {
namespace {

constexpr std::size_t FLUSH_BYTES = 64 * 1024;

}  // namespace

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ManifestError::json(os_error_text(errno), 0, 0);
    }
    if (n == 0) return ManifestError::json(msg::WRITE_ZERO, 0, 0);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

void JsonWriter::indent(std::size_t depth) {
  buf_.push_back('\n');
  buf_.append(2 * depth, ' ');
}

void JsonWriter::separate() {
  if (counts_.back()++ > 0) buf_.push_back(',');
  if (layout_ == Layout::Pretty) indent(counts_.size());
  if (fd_ >= 0 && buf_.size() >= FLUSH_BYTES) flush();
}

void JsonWriter::open(char c) {
  buf_.push_back(c);
  counts_.push_back(0);
}

void JsonWriter::close(char c) {
  const bool had_members = counts_.back() > 0;
  counts_.pop_back();
  if (layout_ == Layout::Pretty && had_members) indent(counts_.size());
  buf_.push_back(c);
}

void JsonWriter::key(std::string_view name) {
  separate();
  append_json_string(buf_, name);
  buf_ += layout_ == Layout::Pretty ? ": " : ":";
}

void JsonWriter::string(std::string_view s) { append_json_string(buf_, s); }
void JsonWriter::uint(std::uint64_t v) { append_uint(buf_, v); }
void JsonWriter::sint(std::int64_t v) { append_int(buf_, v); }
void JsonWriter::real(double v) { append_real(buf_, v); }

void JsonWriter::value(const JsonValue& v) {
  struct Visit {
    JsonWriter& w;
    void operator()(std::nullptr_t) const { w.null(); }
    void operator()(bool b) const { w.boolean(b); }
    void operator()(std::uint64_t u) const { w.uint(u); }
    void operator()(std::int64_t i) const { w.sint(i); }
    void operator()(double d) const { w.real(d); }
    void operator()(const JsonString& s) const { w.string(s); }
    void operator()(const JsonArray& items) const {
      w.begin_array();
      for (const JsonValue& item : items) {
        w.element();
        w.value(item);
      }
      w.end_array();
    }
    void operator()(const JsonObject& obj) const { w.object(obj); }
  };
  std::visit(Visit{*this}, v.v);
}

void JsonWriter::object(const JsonObject& obj) {
  const auto& members = obj.members;
  const bool canonical =
      std::adjacent_find(members.begin(), members.end(), [](const auto& a, const auto& b) {
        return !(a.first < b.first);
      }) == members.end();
  begin_object();
  if (canonical) {
    for (const JsonMember& m : members) {
      key(m.first);
      value(m.second);
    }
  } else {
    // Built by hand rather than decoded: write it as the decoder would have kept it (sorted,
    // the last of a repeated key winning).
    std::vector<const JsonMember*> order;
    order.reserve(members.size());
    for (const JsonMember& m : members) order.push_back(&m);
    std::stable_sort(order.begin(), order.end(),
                     [](const JsonMember* a, const JsonMember* b) { return a->first < b->first; });
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i + 1 < order.size() && order[i + 1]->first == order[i]->first) continue;
      key(order[i]->first);
      value(order[i]->second);
    }
  }
  end_object();
}

void JsonWriter::flush() {
  if (status_.ok()) status_ = write_all(fd_, buf_);
  buf_.clear();  // after a failure the rest is dropped: the first error is the one reported
}

Status JsonWriter::finish() {
  if (fd_ >= 0) flush();
  return status_;
}

}  // namespace tamrel::model
