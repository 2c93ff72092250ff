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

struct DriveAddress {
  int adapter;
  int target;
  int lun;
};

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

// Identifies one drive and readies it; 0, 1 (no answer) or 2 (unknown kind).
int configure_drive(const DriveAddress& d, int mrsoff, int32_t* needs_load) {
  uint8_t inquiry[256] = {};
  int result = scsi_inquiry(d.adapter, d.target, d.lun, inquiry, 255);
  if (result == SCSI_INQUIRY_NO_DEVICE) {
    message_text("no device at %d:%d:%d\n", d.adapter, d.target, d.lun);
    return 1;
  }
  // Another run (or program) has the drive: it is left alone.
  if (result == SCSI_INQUIRY_IN_USE) {
    message_text("drive at %d:%d:%d is in use by another program\n", d.adapter, d.target, d.lun);
    return 1;
  }
  if (result != 0) return 1;
  char vendor[9] = {}, product[21] = {};
  std::memcpy(vendor, inquiry + 8, 8);
  std::memcpy(product, inquiry + 16, 20);
  int kind = lookup_drive(vendor, product);
  if (kind == DRIVE_UNKNOWN) {
    message_text("drive is unknown\n");
    return 2;
  }
  message_text(" - found drive %s %s\n", vendor, product);
  if (kind == DRIVE_SDT9000) *needs_load = 1;

  message_text(" - waiting (up to 60 seconds) for tape to mount...");
  bool ready = tape_status(wait_unit_ready(d.adapter, d.target, d.lun, kFirstLookMs)) == TAPE_GOOD ||
               tape_status(wait_unit_ready(d.adapter, d.target, d.lun, kMountWaitMs)) == TAPE_GOOD;
  // Ctrl-C or SIGTERM ends the set-up here: the run is to end, so the drive
  // is not readied any further.
  if (!ready && console_interrupted()) message_text("interrupted\n");
  else print_outcome(ready);
  if (console_interrupted()) return 0;

  message_text(" - setting drive in audio mode...");
  print_outcome(set_audio_mode(d.adapter, d.target, d.lun) >= 0);

  if (*needs_load) {
    message_text(" - issuing a tape load...");
    print_outcome(do_load(d.adapter, d.target, d.lun, 1) == 0);
  }
  if (mrsoff && wants_mrs_off(vendor, product)) mrs_off(d.adapter, d.target, d.lun);
  return 0;
}

void rewind_drive(const DriveAddress& d, const char* which) {
  message_text(" - rewinding %d:%d %s tape to beginning...", d.adapter, d.target, which);
  print_outcome(scsi_rewind(d.adapter, d.target, d.lun) == 0);
}

void close_drive(const DriveAddress& d, const char* which, int needs_load) {
  message_text(" - closing %s drive...\n", which);
  if (!needs_load) return;
  message_text(" - issuing a tape unload...");
  print_outcome(do_load(d.adapter, d.target, d.lun, 0) == 0);
  message_text(" - setting drive back to data mode...");
  print_outcome(set_data_mode(d.adapter, d.target, d.lun) >= 0);
}

DriveAddress input_of(const RunSettings* s) { return {s->input_adapter, s->input_target, s->input_lun}; }
DriveAddress output_of(const RunSettings* s) { return {s->output_adapter, s->output_target, s->output_lun}; }

}  // namespace

int configure_drives(RunSettings* settings) {
  settings->input_needs_load = 0;
  settings->output_needs_load = 0;
  if (settings->inputid_arg) {
    message_text("Configuring input drive...\n");
    int result = configure_drive(input_of(settings), settings->mrsoff_arg, &settings->input_needs_load);
    if (result != 0) return result;
  }
  if (settings->outputid_arg && !console_interrupted()) {
    DriveAddress out = output_of(settings);
    message_text("Configuring output drive %d:%d:%d...\n", out.adapter, out.target, out.lun);
    int result = configure_drive(out, settings->mrsoff_arg, &settings->output_needs_load);
    if (result != 0) return result;
  }
  return 0;
}

int rewind_drives(RunSettings* settings) {
  if (!settings->rewind_arg && !settings->bittern_arg && !settings->pintail_arg) return 0;
  if (settings->inputid_arg && !console_interrupted()) rewind_drive(input_of(settings), "input");
  if (settings->outputid_arg && !console_interrupted()) rewind_drive(output_of(settings), "output");
  return 0;
}

int close_drives(RunSettings* settings) {
  message_text("\n");
  if (settings->inputid_arg) close_drive(input_of(settings), "input", settings->input_needs_load);
  if (settings->outputid_arg) close_drive(output_of(settings), "output", settings->output_needs_load);
  return 0;
}
