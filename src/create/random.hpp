// Random version-4 UUIDs for manifest identifiers.
#pragma once

#include <cstddef>
#include <string>

namespace tamrel::create {

// "xxxxxxxx-xxxx-4xxx-Vxxx-xxxxxxxxxxxx": a fresh version-4 UUID (V is 8, 9, a or b).
std::string new_uuid_v4();

}  // namespace tamrel::create
