// The optional blocks of the pass: their declared rules with the profile file in its place.
#include "validate/block_rules.hpp"
#include "verify/stages.hpp"

namespace tamrel::verify {

void verify_encoder_distortion(report::VerificationReport& report, const PassInput& in) {
  if (!in.manifest.encoder_distortion) return;
  const model::EncoderDistortionProfileRef& d = *in.manifest.encoder_distortion;
  if (validate::check_encoder_distortion_declared(report, d, in.manifest.embedding)) {
    const model::DistortionProfileArtifactRef& p = *d.profile;
    verify_profile_file(report, in, p.path, p.sha256, p.file_size_bytes,
                        "encoder_distortion_profile", "encoder distortion profile",
                        in.options.limits.max_encoder_distortion_profile_bytes,
                        report.encoder_distortion);
  }
  // The link is checked after the file so that issues read in the block's own order.
  validate::check_encoder_distortion_link(report, in.manifest);
}

void verify_calibration(report::VerificationReport& report, const PassInput& in) {
  if (!in.manifest.calibration) return;
  const model::CalibrationProfileRef& c = *in.manifest.calibration;
  if (!validate::check_calibration_declared(report, c, in.manifest)) return;
  const model::ProfileArtifactRef& p = *c.profile;
  verify_profile_file(report, in, p.path, p.sha256, p.file_size_bytes, "calibration_profile",
                      "calibration profile", in.options.limits.max_calibration_profile_bytes,
                      report.calibration);
}

}  // namespace tamrel::verify
