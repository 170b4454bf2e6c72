// Placeholder until manifest creation lands.
#include "base/panic.hpp"
#include "create/create.hpp"

namespace tamrel::create {

Result<model::IndexManifest> create_manifest(const CreateOptions&) {
  throw Unimplemented{"create_manifest is not implemented yet"};
}

}  // namespace tamrel::create
