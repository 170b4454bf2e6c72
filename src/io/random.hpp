// The operating system's secure random bytes.
#pragma once

#include <cstddef>

namespace tamrel::io {

// Fills buf with getrandom(2), retrying interrupted and short reads; on a kernel without it,
// from /dev/urandom. A failing source is a panic.
void fill_secure_random(void* buf, std::size_t len);

}  // namespace tamrel::io
