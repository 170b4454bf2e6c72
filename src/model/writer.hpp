// The one JSON writer behind every manifest text: compact or pretty layout, into memory or
// streamed to a file descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "model/json_value.hpp"

namespace tamrel::model::detail {

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

}  // namespace tamrel::model::detail
