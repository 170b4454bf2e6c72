// The declared-value rules of the optional blocks: encoder distortion and calibration.
#pragma once

#include "model/records.hpp"
#include "report/report.hpp"

namespace tamrel::validate {

// The caller has found the block declared; each function states it in the report's facts, runs
// the block's rules and its profile declaration's, and returns true when the profile file is to
// be checked next.

// Encoder distortion: the block, metric, bounds, scope, evidence and profile declaration rules.
bool check_encoder_distortion_declared(report::VerificationReport& report,
                                       const model::EncoderDistortionProfileRef& d,
                                       const model::Embedding& embedding);
// The rules on the link to the calibration block, run after the profile file.
void check_encoder_distortion_link(report::VerificationReport& report,
                                   const model::IndexManifest& manifest);

// Calibration: the block's rules, its agreement with the manifest, then its profile declaration.
bool check_calibration_declared(report::VerificationReport& report,
                                const model::CalibrationProfileRef& c,
                                const model::IndexManifest& manifest);

}  // namespace tamrel::validate
