// SPDX-License-Identifier: MIT
// kestrel-drives: lists the drives the ASPI provider presents (the machine's
// SCSI generic devices, or the virtual drives of KESTREL_BUS), with the
// address to give /INPUTID and /OUTPUTID and whether kestrel supports them;
// with --probe A:T, checks one drive without writing to its tape.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "aspi/wnaspi32.h"
#include "control/drive_advice.h"
#include "control/version.h"
#include "datframe/dat_frame.h"
#include "datframe/frame_info.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

const char kNodeAdvice[] =
    "To use a node marked \"cannot be opened\", join the group it belongs to (ls -l /dev/sg*; "
    "sudo usermod -aG GROUP $USER, then log in again) or install kestrel's udev rule.\n";

const char* kind_name(int kind) {
  switch (kind) {
    case DRIVE_PYTHON: return "yes (Python family)";
    case DRIVE_SDT9000: return "yes (SDT-9000 family)";
    default: return "no";
  }
}

std::string trimmed(const uint8_t* bytes, size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

bool bus_is_virtual() {
  const char* bus = std::getenv("KESTREL_BUS");
  return bus && *bus;
}

// Why a device node cannot be opened for reading and writing, or "".
std::string node_problem(const std::string& node) {
  if (node.empty() || access(node.c_str(), R_OK | W_OK) == 0) return "";
  return std::string("cannot be opened: ") + std::strerror(errno);
}

// What stands behind an address in the provider's list (node or cassette);
// false when the provider does not list it.
bool device_entry(const DriveAddress& d, std::string* device) {
  auto entry = reinterpret_cast<GetASPI32DeviceEntryFn>(aspi_provider_symbol("GetASPI32DeviceEntry"));
  if (!entry) return false;
  char name[512];
  uint8_t a, t, l;
  for (uint32_t i = 0; entry(i, &a, &t, &l, name, sizeof name) == ASPI_STATUS_COMPLETED; ++i) {
    if (a == d.adapter && t == d.target && l == d.lun) {
      *device = name;
      return true;
    }
  }
  return false;
}

// One line for the device at an address; device is its node or cassette.
// Returns false when its node cannot be opened.
bool list_device(const DriveAddress& d, const std::string& device, bool is_virtual) {
  char address[16];
  if (d.lun == 0)
    std::snprintf(address, sizeof address, "%d:%d", d.adapter, d.target);
  else
    std::snprintf(address, sizeof address, "%d:%d:%d", d.adapter, d.target, d.lun);
  std::string where = device;
  if (is_virtual && where.empty()) where = "(no cassette)";

  uint8_t inquiry[256] = {};
  TapeResult answer = scsi_inquiry(d, inquiry, 255);
  if (answer.status == TAPE_IN_USE) {
    std::printf("%-7s  %-8s  %-20s  %-21s  %s (in use by another program)\n", address, "?", "?", "?", where.c_str());
    return true;
  }
  if (!tape_completed(answer)) {
    std::string why = is_virtual ? "" : node_problem(device);
    bool openable = why.empty();
    if (openable) why = "does not answer INQUIRY";
    std::printf("%-7s  %-8s  %-20s  %-21s  %s (%s)\n", address, "?", "?", "?", where.c_str(), why.c_str());
    return openable;
  }
  char vendor[9] = {}, product[21] = {};
  std::memcpy(vendor, inquiry + 8, 8);
  std::memcpy(product, inquiry + 16, 20);
  int kind = lookup_drive(vendor, product);
  const char* note = "";
  if (kind != DRIVE_UNKNOWN && (d.adapter > 7 || d.target > 7 || d.lun != 0))
    note = " (kestrel reaches adapters 0-7, targets 0-7, LUN 0 only)";
  std::printf("%-7s  %-8s  %-20s  %-21s  %s%s\n", address, trimmed(inquiry + 8, 8).c_str(),
              trimmed(inquiry + 16, 20).c_str(), kind_name(kind), where.c_str(), note);
  return true;
}

int list_drives() {
  const char* bus = std::getenv("KESTREL_BUS");
  bool is_virtual = bus_is_virtual();
  int adapters = load_ASPI();
  if (adapters <= 0) {
    std::printf("No drives found: the ASPI provider reports no host adapter.\n");
    std::fputs(no_adapter_advice(), stdout);
    unload_ASPI();
    return 1;
  }
  if (is_virtual)
    std::printf("Virtual drives of the bus file %s (%d host adapter%s):\n", bus, adapters, adapters == 1 ? "" : "s");
  else
    std::printf("SCSI generic devices (%d host adapter%s):\n", adapters, adapters == 1 ? "" : "s");
  std::printf("%-7s  %-8s  %-20s  %-21s  %s\n", "ADDRESS", "VENDOR", "PRODUCT", "KESTREL", "DEVICE");

  bool all_open = true;
  auto entry = reinterpret_cast<GetASPI32DeviceEntryFn>(aspi_provider_symbol("GetASPI32DeviceEntry"));
  if (entry) {
    char name[512];
    uint8_t a, t, l;
    for (uint32_t i = 0; entry(i, &a, &t, &l, name, sizeof name) == ASPI_STATUS_COMPLETED; ++i)
      all_open = list_device(DriveAddress{a, t, l}, name, is_virtual) && all_open;
  } else {  // a provider without the listing: ask every address kestrel can reach
    for (int a = 0; a < adapters && a < 8; ++a)
      for (int t = 0; t < 8; ++t) {
        uint8_t probe[36];
        if (scsi_inquiry(DriveAddress{a, t, 0}, probe, sizeof probe).status != TAPE_NO_DEVICE)
          list_device(DriveAddress{a, t, 0}, "", is_virtual);
      }
  }
  std::printf("Give the ADDRESS to /INPUTID or /OUTPUTID, for example /INPUTID 0:4.\n");
  if (!all_open) std::fputs(kNodeAdvice, stdout);
  unload_ASPI();
  return 0;
}

// ------------------------------------------------------------- the check

const int kProbeFrames = 10;
// Additional sense codes of NOT READY: a cassette being loaded, and none in.
const uint8_t kAscBecomingReady = 0x04;
const uint8_t kAscNoMedium = 0x3A;
const uint32_t kMountWaitSeconds = 60;

// Sense key, ASC and ASCQ of a result word, as "02/3A/00".
std::string sense_text(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X/%02X/%02X", tape_sense_key(word), tape_asc(word), tape_ascq(word));
  return text;
}

std::string density_text(int density) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(density));
  std::string out = text;
  if (density == DENSITY_AUDIO) out += " (audio mode)";
  if (density == DENSITY_DATA) out += " (data mode)";
  return out;
}

std::string time_text(uint32_t time) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x", time >> 24, (time >> 16) & 0xFF, (time >> 8) & 0xFF,
                time & 0xFF);
  return text;
}

std::string program_text(int32_t program) {
  if (program == PROGRAM_LEAD_IN) return "lead-in";
  if (program == PROGRAM_LEAD_OUT) return "lead-out";
  if (program == PROGRAM_NONE) return "none";
  char text[8];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(program));
  return text;
}

// Waits for the drive to be ready, honouring Ctrl-C; the last outcome.
TapeResult wait_ready(const DriveAddress& d) {
  TapeResult ready = scsi_test_unit_ready(d);
  // Only a drive that is becoming ready (02/04/xx) is worth waiting for;
  // one without a cassette says so at once (02/3A/00).
  for (uint32_t second = 0; second < kMountWaitSeconds && ready.status != TAPE_GOOD; ++second) {
    if (ready.status != TAPE_NOT_READY || tape_asc(ready.word) != kAscBecomingReady || console_interrupted()) break;
    ready = wait_unit_ready(d, 1000);
  }
  return ready;
}

// What ten frames read in audio mode show.
struct ReadFindings {
  int read = 0, failed = 0, flagged = 0, with_subcode = 0, start_ids = 0;
  std::set<int32_t> rates;    // sampling-rate codes, and 12-bit long play as code 4
  std::vector<int32_t> programs;  // in the order first met
  uint32_t first_abs = TIME_CODE_NONE, last_abs = TIME_CODE_NONE;
  uint32_t first_prog = TIME_CODE_NONE, last_prog = TIME_CODE_NONE;
  std::string ended;  // why the reading stopped before ten frames
  TapeResult first_failure{};  // the first read that failed
};

void read_frames(const DriveAddress& d, ReadFindings* f) {
  DatFrame frame;
  for (int i = 0; i < kProbeFrames && !console_interrupted(); ++i) {
    TapeResult read = scsi_read_block(d, &frame, DAT_FRAME_BYTES);
    if (!tape_completed(read)) {
      if (read.status == TAPE_END_OF_DATA) {
        f->ended = "end of data";
        return;
      }
      if (f->failed++ == 0) f->first_failure = read;
      if (read.status == TAPE_MEDIUM_ERROR) continue;  // the tape moves on
      f->ended = "the drive refused the read (" + sense_text(read.word) + ")";
      return;
    }
    ++f->read;
    FrameInfo s = decode_frame(&frame);
    f->flagged += s.flags != 0;
    if (!s.has_packs) continue;
    ++f->with_subcode;
    f->start_ids += s.start_id;
    f->rates.insert(s.bits == 12 ? 4 : s.rate_code);
    bool known = false;
    for (int32_t p : f->programs) known = known || p == s.sub_id_program;
    if (!known) f->programs.push_back(s.sub_id_program);
    if (s.absolute_pack.present) {
      if (f->first_abs == TIME_CODE_NONE) f->first_abs = s.absolute_pack.last_time;
      f->last_abs = s.absolute_pack.last_time;
    }
    if (s.program_pack.present) {
      if (f->first_prog == TIME_CODE_NONE) f->first_prog = s.program_pack.last_time;
      f->last_prog = s.program_pack.last_time;
    }
  }
}

// Reads failed and none showed audio: nothing says the drive reads DAT audio.
bool reads_fail(const ReadFindings& f) { return f.with_subcode == 0 && f.failed > 0; }

// "10 of 10 reads failed with medium error 03/11/00: ...", and what may cause it.
std::string failed_reads_text(const ReadFindings& f) {
  std::string text = std::to_string(f.failed) + " of " + std::to_string(f.read + f.failed) + " reads failed with " +
                     tape_status_name(f.first_failure.status) + " " + sense_text(f.first_failure.word);
  if (f.read > 0) text += ", and the frames read hold no audio subcode";
  return text + ": a dirty head, or a cassette this drive cannot read";
}

void print_findings(const ReadFindings& f) {
  std::printf("Reading %d frames in audio mode: %d read, %d failed, %d flagged by the drive%s%s\n", kProbeFrames, f.read,
              f.failed, f.flagged, f.ended.empty() ? "" : "; stopped at ", f.ended.c_str());
  if (f.with_subcode == 0) {
    if (reads_fail(f))
      std::printf("  %s\n", failed_reads_text(f).c_str());
    else
      std::printf("  no audio subcode: a data tape or a blank\n");
    return;
  }
  static const char* const kRates[] = {"48000 Hz", "44100 Hz", "32000 Hz", "reserved rate", "32000 Hz long play"};
  std::string rates, programs;
  for (int32_t r : f.rates) rates += (rates.empty() ? "" : ", ") + std::string(kRates[r]);
  for (int32_t p : f.programs) programs += (programs.empty() ? "" : ", ") + program_text(p);
  std::printf("  %d frames with subcode; sampling rate %s; program %s; %d with a start ID\n", f.with_subcode,
              rates.c_str(), programs.c_str(), f.start_ids);
  if (f.first_abs != TIME_CODE_NONE)
    std::printf("  absolute time %s to %s\n", time_text(f.first_abs).c_str(), time_text(f.last_abs).c_str());
  if (f.first_prog != TIME_CODE_NONE)
    std::printf("  program time %s to %s\n", time_text(f.first_prog).c_str(), time_text(f.last_prog).c_str());
}

// The verdict line ends every check; the result is the exit code.
int verdict(const std::string& text, bool reads_audio) {
  std::printf("Verdict: %s\n", text.c_str());
  return reads_audio ? 0 : 1;
}

int probe_drive(const DriveAddress& d, const std::string& address) {
  bool is_virtual = bus_is_virtual();
  std::printf("kestrel-drives %s: check of the drive at %s (nothing is written to the tape)\n", KESTREL_VERSION,
              address.c_str());
  // Every command of the check goes to a trace beside the output, unless
  // KESTREL_TRACE names another file.
  const char* named = std::getenv("KESTREL_TRACE");
  if (!named || !*named) {
    std::string trace = "kestrel-drives-probe-" + std::to_string(d.adapter) + "-" + std::to_string(d.target) + ".trace";
    setenv("KESTREL_TRACE", trace.c_str(), 1);
  }
  std::printf("Trace of every command: %s\n", std::getenv("KESTREL_TRACE"));
  if (load_ASPI() <= 0) {
    std::fputs(no_adapter_advice(), stdout);
    return verdict("cannot be opened (the ASPI provider reports no host adapter)", false);
  }
  std::string device;
  bool listed = device_entry(d, &device);
  if (listed) {
    if (is_virtual)
      std::printf("Device: virtual drive, cassette %s\n", device.empty() ? "none" : device.c_str());
    else
      std::printf("Device: %s\n", device.c_str());
  }

  uint8_t inquiry[256] = {};
  TapeResult answer = scsi_inquiry(d, inquiry, 255);
  if (answer.status == TAPE_NO_DEVICE || (!tape_completed(answer) && !listed))
    return verdict("cannot be opened (no device at " + address + "; kestrel-drives lists what there is)", false);
  if (answer.status == TAPE_IN_USE)
    return verdict("in use (another program holds the drive; check it again when that program has ended)", false);
  if (!tape_completed(answer)) {
    std::string why = is_virtual ? "" : node_problem(device);
    if (!why.empty()) {
      std::fputs(kNodeAdvice, stdout);
      return verdict("cannot be opened (" + device + " " + why + ")", false);
    }
    return verdict("cannot be opened (the device does not answer INQUIRY)", false);
  }
  char vendor[9] = {}, product[21] = {};
  std::memcpy(vendor, inquiry + 8, 8);
  std::memcpy(product, inquiry + 16, 20);
  int kind = lookup_drive(vendor, product);
  int type = inquiry[0] & 0x1F;
  std::string revision = trimmed(inquiry + 32, 4);
  std::printf("INQUIRY: vendor %s, product %s, firmware revision %s, device type %d%s\n",
              trimmed(inquiry + 8, 8).c_str(), trimmed(inquiry + 16, 16).c_str(),
              revision.empty() ? "(none)" : revision.c_str(), type, type == 1 ? " (tape)" : "");
  std::printf("Known to kestrel: %s\n", kind == DRIVE_UNKNOWN ? "no (kestrel refuses it: \"drive is unknown\")"
                                                               : kind_name(kind));
  std::string unknown = kind == DRIVE_UNKNOWN ? "; but kestrel does not know this model" : "";
  if (type != 1)
    return verdict("has no audio firmware (not a tape drive: device type " + std::to_string(type) + ")", false);

  TapeResult ready = wait_ready(d);
  bool cassette = ready.status == TAPE_GOOD;
  if (cassette)
    std::printf("TEST UNIT READY: ready, a cassette is in\n");
  else if (tape_asc(ready.word) == kAscNoMedium)
    std::printf("TEST UNIT READY: no cassette (%s)\n", sense_text(ready.word).c_str());
  else if (tape_asc(ready.word) == kAscBecomingReady)
    std::printf("TEST UNIT READY: not ready after %u seconds (%s)\n", kMountWaitSeconds, sense_text(ready.word).c_str());
  else
    std::printf("TEST UNIT READY: not ready (%s)\n", sense_text(ready.word).c_str());

  int density = get_density(d);
  std::printf("Density: %s\n", density < 0 ? "cannot be read" : density_text(density).c_str());

  bool audio = set_density(d, DENSITY_AUDIO);
  if (audio) {
    std::printf("Audio mode: accepted\n");
  } else {
    int now = get_density(d);
    std::printf("Audio mode: refused, the density stays %s\n", now < 0 ? "unknown" : density_text(now).c_str());
  }

  ReadFindings findings;
  if (audio && cassette && !console_interrupted()) {
    if (kind == DRIVE_SDT9000) std::printf("Tape load: %s\n", tape_completed(do_load(d, 1)) ? "done" : "failed");
    read_frames(d, &findings);
    print_findings(findings);
    std::printf("Rewind: %s\n", tape_completed(scsi_rewind(d)) ? "done" : "failed");
  }
  bool data = set_density(d, DENSITY_DATA);
  std::printf("Data mode: %s\n", data ? "back" : "refused: the drive may still be in audio mode");
  unload_ASPI();

  if (console_interrupted()) return verdict("not finished (interrupted)", false);
  if (!cassette) {
    if (tape_asc(ready.word) == kAscBecomingReady)
      return verdict("no cassette (the drive did not become ready within " + std::to_string(kMountWaitSeconds) +
                         " seconds)" + unknown,
                     false);
    return verdict(std::string("no cassette (") + (audio ? "audio mode accepted" : "audio mode refused") +
                       "; insert an audio cassette and check again)" + unknown,
                   false);
  }
  if (!audio) return verdict("has no audio firmware (the density cannot be set to audio)" + unknown, false);
  if (reads_fail(findings)) return verdict("reads fail in audio mode (" + failed_reads_text(findings) + ")" + unknown, false);
  if (findings.with_subcode == 0)
    return verdict("reads DAT audio (audio mode works; this cassette holds no audio to show it)" + unknown,
                   unknown.empty());
  return verdict("reads DAT audio" + unknown, unknown.empty());
}

int usage(const char* program, int code) {
  std::printf("usage: %s [--probe A:T] [--version]\n"
              "Lists the drives the ASPI provider beside it presents: the SCSI generic\n"
              "devices of this machine, or with KESTREL_BUS set the virtual drives of that\n"
              "bus file. The ADDRESS column is what /INPUTID and /OUTPUTID take.\n"
              "--probe A:T checks the drive at adapter A, target T: what it is, whether it\n"
              "holds a cassette, takes audio mode and reads DAT audio. It never writes to\n"
              "the tape, and leaves the drive rewound and in data mode.\n",
              program);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
  message_set_sink(message_to_console, nullptr);
  if (argc == 1) return list_drives();
  if (argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))) return usage(argv[0], 0);
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    print_versions();
    return 0;
  }
  DriveAddress d;
  char extra;
  if (argc != 3 || std::strcmp(argv[1], "--probe") != 0 ||
      std::sscanf(argv[2], "%d:%d%c", &d.adapter, &d.target, &extra) != 2 || d.adapter < 0 || d.adapter > 7 ||
      d.target < 0 || d.target > 7)
    return usage(argv[0], 2);
  console_init();
  int code = probe_drive(d, argv[2]);
  console_restore();
  return code;
}
