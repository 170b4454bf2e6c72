// The one JSON writer of the module (manifest, report, load plan, small results): compact or
// pretty layout, into memory or streamed to a file descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "model/json_value.hpp"

namespace tamrel::model {

// Writes all of bytes to fd, EINTR retried. Errors: Json carrying the system's message (or
// "failed to write whole buffer" for a write that takes nothing), no position.
Status write_all(int fd, std::string_view bytes);

class JsonWriter {
 public:
  enum class Layout : std::uint8_t { Compact, Pretty };

  // fd < 0 keeps the text in memory (take()); otherwise it goes to fd as it is produced.
  explicit JsonWriter(Layout layout, int fd = -1) : layout_(layout), fd_(fd) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void key(std::string_view name);
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void element() { separate(); }

  void string(std::string_view s);
  void uint(std::uint64_t v);
  void sint(std::int64_t v);
  void real(double v);
  void boolean(bool v) { buf_ += v ? "true" : "false"; }
  void null() { buf_ += "null"; }
  void value(const JsonValue& v);
  // A value already written as compact JSON by another writer.
  void raw(std::string_view json) { buf_ += json; }
  void object(const JsonObject& obj);

  std::string take() { return std::move(buf_); }
  // Writes what is left to the descriptor. Errors: Json (the system's text, no position).
  Status finish();

 private:
  void open(char c);
  void close(char c);
  void separate();
  void indent(std::size_t depth);
  void flush();

  Layout layout_;
  int fd_;
  std::string buf_;
  std::vector<std::uint32_t> counts_;  // members written so far, per open container
  Status status_;
};

// One object whose members are written one call each; absent optionals are written as null.
class ObjectWriter {
 public:
  explicit ObjectWriter(JsonWriter& w) : w_(w) { w_.begin_object(); }
  ~ObjectWriter() { w_.end_object(); }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  // The key alone; the caller writes the value.
  JsonWriter& key(std::string_view name) {
    w_.key(name);
    return w_;
  }
  void str(std::string_view name, std::string_view value) { key(name).string(value); }
  void str(std::string_view name, const std::optional<std::string>& value) {
    if (value) {
      str(name, std::string_view(*value));
    } else {
      key(name).null();
    }
  }
  void u64(std::string_view name, std::uint64_t value) { key(name).uint(value); }
  void u64(std::string_view name, const std::optional<std::uint64_t>& value) {
    if (value) {
      u64(name, *value);
    } else {
      key(name).null();
    }
  }
  void boolean(std::string_view name, bool value) { key(name).boolean(value); }

 private:
  JsonWriter& w_;
};

// An array of items, each written by write_one(w, item).
template <class Items, class F>
void write_array(JsonWriter& w, const Items& items, F&& write_one) {
  w.begin_array();
  for (const auto& item : items) {
    w.element();
    write_one(w, item);
  }
  w.end_array();
}

}  // namespace tamrel::model
