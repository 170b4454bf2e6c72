// Internal failures: states the design treats as impossible. They unwind to the entry point,
// which raises PanicException; they are never an ordinary ManifestError.
#pragma once

#include <string>
#include <string_view>

namespace tamrel {

struct Panic {
  std::string message;
};

[[noreturn]] void panic(std::string_view message);

}  // namespace tamrel
