// SPDX-License-Identifier: MIT
#include "scsi/drive_setup.h"

#include <cctype>
#include <cstring>

#include "platform/console.h"
#include "platform/messages.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

const uint32_t kMountWaitMs = 60000;
const uint32_t kFirstLookMs = 2;
const char* const kMrsProducts[] = {"PYTHON 01931-XXX5.56", "PYTHON 01931-XXX5.63", "PYTHON 01931-XXX5AC"};

void print_outcome(bool ok) { message_text(ok ? "done\n" : "failed, continuing anyway\n"); }

void upper_case(char* text) {
  for (; *text; ++text) *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

bool wants_mrs_off(char* vendor, char* product) {
  upper_case(vendor);
  if (std::strcmp(vendor, "ARCHIVE ") != 0) return false;
  upper_case(product);
  for (const char* name : kMrsProducts)
    if (std::strcmp(product, name) == 0) return true;
  return false;
}

// Identifies one drive and readies it; false when it does not answer or is
// of an unknown kind.
bool configure_drive(const DriveAddress& d, int mrsoff, int32_t* needs_load) {
  uint8_t inquiry[256] = {};
  TapeResult answer = scsi_inquiry(d, inquiry, 255);
  switch (answer.status) {
    case TAPE_GOOD:
    case TAPE_RECOVERED:
      break;
    case TAPE_NO_DEVICE:
      message_text("no device at %d:%d:%d\n", d.adapter, d.target, d.lun);
      return false;
    case TAPE_IN_USE:  // another run (or program) has the drive: it is left alone
      message_text("drive at %d:%d:%d is in use by another program\n", d.adapter, d.target, d.lun);
      return false;
    default:
      return false;
  }
  char vendor[9] = {}, product[21] = {};
  std::memcpy(vendor, inquiry + 8, 8);
  std::memcpy(product, inquiry + 16, 20);
  int kind = lookup_drive(vendor, product);
  if (kind == DRIVE_UNKNOWN) {
    message_text("drive is unknown\n");
    return false;
  }
  message_text(" - found drive %s %s\n", vendor, product);
  if (kind == DRIVE_SDT9000) *needs_load = 1;

  message_text(" - waiting (up to 60 seconds) for tape to mount...");
  bool ready =
      wait_unit_ready(d, kFirstLookMs).status == TAPE_GOOD || wait_unit_ready(d, kMountWaitMs).status == TAPE_GOOD;
  // Ctrl-C or SIGTERM ends the set-up here: the run is to end, so the drive
  // is not readied any further.
  if (!ready && console_interrupted()) message_text("interrupted\n");
  else print_outcome(ready);
  if (console_interrupted()) return true;

  message_text(" - setting drive in audio mode...");
  print_outcome(set_audio_mode(d));

  if (*needs_load) {
    message_text(" - issuing a tape load...");
    print_outcome(tape_completed(do_load(d, 1)));
  }
  if (mrsoff && wants_mrs_off(vendor, product)) mrs_off(d);
  return true;
}

void rewind_drive(const DriveAddress& d, const char* which) {
  message_text(" - rewinding %d:%d %s tape to beginning...", d.adapter, d.target, which);
  print_outcome(tape_completed(scsi_rewind(d)));
}

void close_drive(const DriveAddress& d, const char* which, int needs_load) {
  message_text(" - closing %s drive...\n", which);
  if (!needs_load) return;
  message_text(" - issuing a tape unload...");
  print_outcome(tape_completed(do_load(d, 0)));
  message_text(" - setting drive back to data mode...");
  print_outcome(set_data_mode(d));
}

}  // namespace

bool configure_drives(RunSettings* settings) {
  settings->input_needs_load = 0;
  settings->output_needs_load = 0;
  if (settings->inputid_arg) {
    message_text("Configuring input drive...\n");
    if (!configure_drive(input_drive(settings), settings->mrsoff_arg, &settings->input_needs_load)) return false;
  }
  if (settings->outputid_arg && !console_interrupted()) {
    DriveAddress out = output_drive(settings);
    message_text("Configuring output drive %d:%d:%d...\n", out.adapter, out.target, out.lun);
    if (!configure_drive(out, settings->mrsoff_arg, &settings->output_needs_load)) return false;
  }
  return true;
}

void rewind_drives(RunSettings* settings) {
  if (!settings->rewind_arg && !settings->bittern_arg && !settings->pintail_arg) return;
  if (settings->inputid_arg && !console_interrupted()) rewind_drive(input_drive(settings), "input");
  if (settings->outputid_arg && !console_interrupted()) rewind_drive(output_drive(settings), "output");
}

void close_drives(RunSettings* settings) {
  message_text("\n");
  if (settings->inputid_arg) close_drive(input_drive(settings), "input", settings->input_needs_load);
  if (settings->outputid_arg) close_drive(output_drive(settings), "output", settings->output_needs_load);
}
