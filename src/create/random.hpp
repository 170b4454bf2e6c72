// Secure random bytes for manifest identifiers and temporary file names.
#pragma once

#include <cstddef>
#include <string>

namespace tamrel::create {

// Fills buf from getrandom(2), retrying interrupted and short reads. A failing source is a panic.
void fill_secure_random(void* buf, std::size_t len);

// "xxxxxxxx-xxxx-4xxx-Vxxx-xxxxxxxxxxxx": a fresh version-4 UUID (V is 8, 9, a or b).
std::string new_uuid_v4();

}  // namespace tamrel::create
