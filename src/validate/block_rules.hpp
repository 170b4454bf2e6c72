// The declared-value rules of the optional blocks: encoder distortion and calibration.
#pragma once

#include "model/records.hpp"
#include "report/report.hpp"

namespace tamrel::validate {

// Encoder distortion: facts on entry, then the block, metric, bounds, scope, evidence and
// profile declaration rules. Returns true when the profile file is to be checked next.
bool check_encoder_distortion_declared(report::VerificationReport& report,
                                       const model::IndexManifest& manifest);
// The calibration-link rules L1-L4, run after the profile file.
void check_encoder_distortion_link(report::VerificationReport& report,
                                   const model::IndexManifest& manifest);

// Calibration: facts on entry, then C1-C23 and P1-P14. Returns true when the profile file is to
// be checked next.
bool check_calibration_declared(report::VerificationReport& report,
                                const model::IndexManifest& manifest);

}  // namespace tamrel::validate
