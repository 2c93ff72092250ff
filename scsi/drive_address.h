// SPDX-License-Identifier: MIT
// Where a drive answers: host adapter, target ID and logical unit, as the
// command line names them and the provider addresses them.
#pragma once

#include "base/run_settings.h"

struct DriveAddress {
  int adapter = 0;
  int target = 0;
  int lun = 0;
};

inline DriveAddress input_drive(const RunSettings* s) { return {s->input_adapter, s->input_target, s->input_lun}; }
inline DriveAddress output_drive(const RunSettings* s) {
  return {s->output_adapter, s->output_target, s->output_lun};
}
