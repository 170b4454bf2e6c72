// Placeholders until the block rules land.
#include "base/panic.hpp"
#include "validate/block_rules.hpp"

namespace tamrel::validate {

bool check_encoder_distortion_declared(report::VerificationReport&, const model::IndexManifest&) {
  return false;
}
void check_encoder_distortion_link(report::VerificationReport&, const model::IndexManifest&) {}
bool check_calibration_declared(report::VerificationReport&, const model::IndexManifest&) {
  return false;
}

}  // namespace tamrel::validate
