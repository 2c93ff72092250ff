// SPDX-License-Identifier: MIT
#include "control/command_line.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Switch {
  const char* name;
  int32_t RunSettings::*field;
  const char* label;  // printed when a mode switch is recognised
};

// In the order every argument is tested against them.
const Switch kSwitches[] = {
    {"/INPUTID", &RunSettings::inputid_arg, nullptr},
    {"/OUTPUTID", &RunSettings::outputid_arg, nullptr},
    {"/WAVEOUT", &RunSettings::waveout_arg, nullptr},
    {"/REWIND", &RunSettings::rewind_arg, nullptr},
    {"/ONEWAV", &RunSettings::onewav_arg, nullptr},
    {"/SEEK", &RunSettings::seek_arg, nullptr},
    {"/STARTID", &RunSettings::startid_arg, nullptr},
    {"/MRSOFF", &RunSettings::mrsoff_arg, nullptr},
    {"/KESTREL", &RunSettings::kestrel_arg, "KESTREL\n"},
    {"/GOSHAWK", &RunSettings::goshawk_arg, "GOSHAWK\n"},
    {"/BITTERN", &RunSettings::bittern_arg, "BITTERN\n"},
    {"/BUNTING", &RunSettings::bunting_arg, "BUNTING\n"},
    {"/PINTAIL", &RunSettings::pintail_arg, "PINTAIL\n"},
    {"/STOPEOT", &RunSettings::stopeot_arg, nullptr},
    {"/ERRORCORRECT", &RunSettings::errorcorrect_arg, nullptr},
    {"/BYPROGRAM", &RunSettings::byprogram_arg, nullptr},
    {"/FROMIMAGE", &RunSettings::fromimage_arg, nullptr},
    {"/TOC", &RunSettings::toc_arg, "TOC\n"},
    {"/REPORT", &RunSettings::report_arg, nullptr},
    {"/BWF", &RunSettings::bwf_arg, nullptr},
    {"/FLAC", &RunSettings::flac_arg, nullptr},
    {"/DEEMPHASIS", &RunSettings::deemphasis_arg, nullptr},
    {"/REREAD", &RunSettings::reread_arg, nullptr},
    {"/TRACE", &RunSettings::trace_arg, nullptr},
    {"/BAG", &RunSettings::bag_arg, nullptr},
    {"/RF64", &RunSettings::rf64_arg, nullptr},
    {"/NOLOUDNESS", &RunSettings::noloudness_arg, nullptr},
    {"/OVERWRITE", &RunSettings::overwrite_arg, nullptr},
    {"/RESCUE", &RunSettings::rescue_arg, "RESCUE\n"},
    {"/ORIGINATOR", &RunSettings::originator_arg, nullptr},
    {"/REFERENCE", &RunSettings::reference_arg, nullptr},
    {"/IDENTIFIER", &RunSettings::identifier_arg, nullptr},
    {"/LOCATION", &RunSettings::location_arg, nullptr},
    {"/COPYRIGHT", &RunSettings::copyright_arg, nullptr},
    {"/TRANSFERTIME", &RunSettings::transfer_time_arg, nullptr},
};

// The switches whose value is taken as typed: paths (the file system tells
// a.img from A.IMG) and the archive's texts.
const char* const kTakenAsTyped[] = {"/FROMIMAGE", "/TRACE",    "/ORIGINATOR",   "/REFERENCE",
                                     "/IDENTIFIER", "/LOCATION", "/COPYRIGHT", "/TRANSFERTIME"};

// The archive's texts: the switch's field, where its text goes, the room.
struct IdentityText {
  int32_t RunSettings::*field;
  char* (*text)(RunSettings*);
  size_t room;  // characters at most
  const char* what;
};

const IdentityText kIdentityTexts[] = {
    {&RunSettings::originator_arg, [](RunSettings* s) { return s->originator; }, 32, "originator"},
    {&RunSettings::reference_arg, [](RunSettings* s) { return s->reference; }, 27, "reference"},
    {&RunSettings::identifier_arg, [](RunSettings* s) { return s->identifier; }, 127, "identifier"},
    {&RunSettings::location_arg, [](RunSettings* s) { return s->location; }, 255, "location"},
    {&RunSettings::copyright_arg, [](RunSettings* s) { return s->copyright; }, 255, "copyright"},
};

const char* const kSeekTypes[] = {"PROGNUM", "ABSTIME", "RUNTIME", "PROGTIME"};

bool is_switch(const char* argument) {
  for (const Switch& sw : kSwitches)
    if (std::strcmp(argument, sw.name) == 0) return true;
  return false;
}

void upper_case(char* text) {
  for (; *text; ++text) *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

// Upper-cases an argument after its last '/'. A switch (its one '/' first)
// and a file name's stem come out in upper case; the folders of a path stay
// as typed, since the file system tells /home from /HOME.
void upper_case_past_folders(char* argument) {
  char* slash = std::strrchr(argument, '/');
  upper_case(slash ? slash + 1 : argument);
}

// Reads up to count decimal numbers separated by ':' as "%d:%d..." would, and
// returns how many it read. A number beyond an int stays at INT_MAX or INT_MIN
// instead of wrapping into some other value.
int read_numbers(const char* text, int* values, int count) {
  int read = 0;
  while (read < count) {
    if (read > 0) {
      if (*text != ':') break;
      ++text;
    }
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text) break;
    values[read++] = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
    text = end;
  }
  return read;
}

// Reads "adapter:id". A number that is not there stays -1, which the range
// check then rejects, so no undefined value is ever used.
int parse_address(int argc, char** argv, int32_t position, const char* which, int32_t* adapter,
                  int32_t* target, int32_t* lun, const char* accepted_format) {
  if (position + 1 >= argc) {
    std::printf("No ID entered\n");
    return 1;
  }
  int numbers[2] = {-1, -1};
  read_numbers(argv[position + 1], numbers, 2);
  int a = numbers[0], t = numbers[1];
  if (a < 0 || a > 7) {
    std::printf("%s SCSI Adapter number: %d, out of range 0-7\n", which, a);
    return 1;
  }
  if (t < 0 || t > 7) {
    std::printf("%s SCSI ID number: %d, out of range 0-7\n", which, t);
    return 1;
  }
  *adapter = a;
  *target = t;
  *lun = 0;
  std::printf(accepted_format, a, t);
  return 0;
}

// The path after the switch at position, as typed, into path; 0, or 1 after
// saying what is wrong ("No image file entered after /FROMIMAGE", "Image
// path too long: ...", with what = "image").
int parse_path(int argc, char** argv, int32_t position, const char* what, char* path, size_t size) {
  if (position + 1 >= argc || argv[position + 1][0] == '\0' || is_switch(argv[position + 1])) {
    std::printf("No %s file entered after %s\n", what, argv[position]);
    return 1;
  }
  size_t length = std::strlen(argv[position + 1]);
  if (length >= size) {
    std::printf("%c%s path too long: %zu characters, at most %zu allowed\n",
                std::toupper(static_cast<unsigned char>(what[0])), what + 1, length, size - 1);
    return 1;
  }
  std::memcpy(path, argv[position + 1], length + 1);
  return 0;
}

// /FROMIMAGE PATH, and the modes it serves: /KESTREL and /TOC read frames;
// the other modes and /SEEK work with drives.
int parse_image_path(int argc, char** argv, RunSettings* s) {
  if (parse_path(argc, argv, s->fromimage_arg, "image", s->image_path, sizeof s->image_path) != 0) return 1;
  bool toc_runs = s->toc_arg && !s->goshawk_arg && !s->bittern_arg && !s->bunting_arg && !s->pintail_arg;
  if (!s->kestrel_arg && !toc_runs) {
    std::printf("/FROMIMAGE gives its frames to /KESTREL or /TOC only\n");
    return 1;
  }
  if (s->seek_arg) {
    std::printf("/SEEK positions a drive: an image is read from its first frame\n");
    return 1;
  }
  return 0;
}

int parse_seek(int argc, char** argv, RunSettings* s) {
  int32_t p = s->seek_arg;
  if (p + 2 >= argc) {
    std::printf("No seek info entered\n");
    return 1;
  }
  int type = -1;
  for (int i = 0; i < 4; ++i) {
    if (std::strcmp(argv[p + 1], kSeekTypes[i]) == 0) {
      type = i;
      break;
    }
  }
  if (type < 0) {
    std::printf("Unknown seek type\n");
    return 1;
  }
  s->seek_type = type;
  const char* position = argv[p + 2];
  if (type == SEEK_PROGNUM) {
    int number = 0;
    if (std::sscanf(position, "%3d", &number) != 1 || number < 0) {
      std::printf("No seek info entered\n");
      return 1;
    }
    s->seek_target = static_cast<uint32_t>(number);
    return 0;
  }
  int t[4] = {};
  if (read_numbers(position, t, 4) != 4) {
    std::printf("No seek info entered\n");
    return 1;
  }
  // Packed one number per byte; a number above 255 spills into the byte above.
  s->seek_target = (static_cast<uint32_t>(t[0]) << 24) + (static_cast<uint32_t>(t[1]) << 16) +
                   (static_cast<uint32_t>(t[2]) << 8) + static_cast<uint32_t>(t[3]);
  return 0;
}
// /REREAD N: the extra passes over a damaged stretch, 1 to 99.
int parse_reread(int argc, char** argv, RunSettings* s) {
  const char* text = s->reread_arg + 1 < argc ? argv[s->reread_arg + 1] : "";
  char* end = nullptr;
  long passes = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || passes < 1 || passes > 99) {
    std::printf("/REREAD needs the number of extra passes, 1 to 99%s%s\n", *text ? ", not " : "", text);
    return 1;
  }
  if (!s->kestrel_arg && !s->bittern_arg) {
    std::printf("/REREAD works with /KESTREL and /BITTERN only\n");
    return 1;
  }
  if (s->fromimage_arg) {
    std::printf("/REREAD reads the tape again: an image cannot be, so not with /FROMIMAGE\n");
    return 1;
  }
  s->reread_passes = static_cast<int32_t>(passes);
  return 0;
}

// The archive's texts and the transfer's time; 0, or 1 after saying what is wrong.
int parse_identity(int argc, char** argv, RunSettings* s) {
  for (const IdentityText& t : kIdentityTexts) {
    char* text = t.text(s);
    text[0] = '\0';
    int32_t at = s->*t.field;
    if (!at) continue;
    if (at + 1 >= argc || argv[at + 1][0] == '\0' || is_switch(argv[at + 1])) {
      std::printf("No %s entered after %s\n", t.what, argv[at]);
      return 1;
    }
    size_t length = std::strlen(argv[at + 1]);
    if (length > t.room) {
      std::printf("%s takes at most %zu characters, not %zu\n", argv[at], t.room, length);
      return 1;
    }
    std::memcpy(text, argv[at + 1], length + 1);
  }
  s->transfer_time = 0;
  if (s->transfer_time_arg) {
    const char* text = s->transfer_time_arg + 1 < argc ? argv[s->transfer_time_arg + 1] : "";
    if (!parse_iso_time(text, &s->transfer_time)) {
      std::printf("/TRANSFERTIME takes a time as YYYY-MM-DDTHH:MM:SS with Z or an offset such as +01:00, not '%s'\n",
                  text);
      return 1;
    }
  } else if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    // The convention of reproducible builds: the time of everything made.
    char* end = nullptr;
    long long seconds = std::strtoll(epoch, &end, 10);
    if (*end != '\0' || seconds < 0) {
      std::printf("SOURCE_DATE_EPOCH is not a count of seconds: '%s'\n", epoch);
      return 1;
    }
    s->transfer_time_arg = -1;
    s->transfer_time = seconds;
  }
  return 0;
}

}  // namespace

bool parse_iso_time(const char* text, int64_t* seconds) {
  int y, mo, d, h, mi, sec, used = 0;
  if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &used) != 6 || used != 19)
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60 || y < 1970) return false;
  const char* zone = text + used;
  long offset = 0;
  if (std::strcmp(zone, "Z") != 0) {
    int oh, om, zone_used = 0;
    if ((zone[0] != '+' && zone[0] != '-') || std::sscanf(zone + 1, "%2d:%2d%n", &oh, &om, &zone_used) != 2 ||
        zone_used != 5 || zone[6] != '\0' || oh > 23 || om > 59)
      return false;
    offset = (zone[0] == '-' ? -1 : 1) * (oh * 3600L + om * 60L);
  }
  // Days from 1970-01-01 of the civil date (proleptic Gregorian).
  int yy = y - (mo <= 2);
  int era = yy / 400;
  int yoe = yy - era * 400;
  int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
  *seconds = days * 86400 + h * 3600 + mi * 60 + sec - offset;
  return true;
}

int parse_command_line(int argc, char** argv, RunSettings* s) {
  for (int i = 1; i < argc; ++i) {
    // The paths of an image and a trace are taken as typed: the file system
    // tells a.img from A.IMG.
    bool as_typed = false;
    for (const char* sw : kTakenAsTyped) as_typed = as_typed || (i > 1 && std::strcmp(argv[i - 1], sw) == 0);
    if (!as_typed) upper_case_past_folders(argv[i]);
  }
  return parse_switches(argc, argv, s);
}

int parse_switches(int argc, char** argv, RunSettings* s) {
  for (const Switch& sw : kSwitches) s->*sw.field = 0;

  for (int i = 1; i < argc; ++i) {
    for (const Switch& sw : kSwitches) {
      if (std::strcmp(argv[i], sw.name) != 0) continue;
      s->*sw.field = i;
      if (sw.label) std::printf("%s", sw.label);
    }
  }

  int32_t file_switch = s->kestrel_arg;
  if (s->goshawk_arg > file_switch) file_switch = s->goshawk_arg;
  if (s->bittern_arg > file_switch) file_switch = s->bittern_arg;
  if (s->bunting_arg > file_switch) file_switch = s->bunting_arg;
  if (s->rescue_arg > file_switch) file_switch = s->rescue_arg;
  if (file_switch) {
    if (file_switch + 1 >= argc) {
      std::printf("No filename entered\n");
      return 2;
    }
    const char* name = argv[file_switch + 1];
    // A forgotten name would make the next switch the name of the files
    // (/KESTREL /INPUTID 0:4 would write /INPUTID001.wav at the root).
    if (is_switch(name)) {
      std::printf("No filename entered: %s is a switch, not a file name\n", name);
      return 2;
    }
    size_t length = std::strlen(name);
    if (length >= sizeof s->base_name) {
      std::printf("Filename too long: %zu characters, at most %zu allowed\n", length,
                  sizeof s->base_name - 1);
      return 2;
    }
    std::memcpy(s->base_name, name, length + 1);
  }

  // /TOC NAME: the name is optional, and only /TOC's when no file mode takes one.
  if (!file_switch && s->toc_arg && s->toc_arg + 1 < argc && !is_switch(argv[s->toc_arg + 1])) {
    const char* name = argv[s->toc_arg + 1];
    size_t length = std::strlen(name);
    if (length >= sizeof s->base_name) {
      std::printf("Filename too long: %zu characters, at most %zu allowed\n", length, sizeof s->base_name - 1);
      return 2;
    }
    std::memcpy(s->base_name, name, length + 1);
  }
  if (s->fromimage_arg && parse_image_path(argc, argv, s) != 0) return 1;

  if (s->inputid_arg &&
      parse_address(argc, argv, s->inputid_arg, "input", &s->input_adapter, &s->input_target,
                    &s->input_lun, "Input SCSI adapter %d, ID number: %d\n"))
    return 1;
  if (s->outputid_arg &&
      parse_address(argc, argv, s->outputid_arg, "output", &s->output_adapter, &s->output_target,
                    &s->output_lun, "Output SCSI adapter %d, ID number: %d\n"))
    return 1;
  if (s->seek_arg && parse_seek(argc, argv, s)) return 1;
  if (s->reread_arg && parse_reread(argc, argv, s)) return 1;
  if (s->trace_arg && parse_path(argc, argv, s->trace_arg, "trace", s->trace_path, sizeof s->trace_path)) return 1;
  if (parse_identity(argc, argv, s)) return 1;

  // /SEEK positions the input drive: without one named it would seek whatever
  // stands at 0:0, and a recording would then begin where its tape stands.
  bool from_image = s->fromimage_arg != 0;
  bool reads_drive =
      ((s->kestrel_arg || s->toc_arg) && !from_image) || s->bittern_arg || s->pintail_arg || s->rescue_arg;
  if ((reads_drive || s->seek_arg) && !s->inputid_arg) {
    std::printf("No input ID entered\n");
    return 1;
  }
  if ((s->goshawk_arg || s->bunting_arg || s->pintail_arg) && !s->outputid_arg) {
    std::printf("No output ID entered\n");
    return 1;
  }
  if (s->pintail_arg && s->input_adapter == s->output_adapter &&
      s->input_target == s->output_target) {
    std::printf("Input and Output IDs must be different \n");
    return 1;
  }
  if (!s->kestrel_arg && !s->goshawk_arg && !s->bittern_arg && !s->bunting_arg &&
      !s->pintail_arg && !s->toc_arg && !s->rescue_arg) {
    std::printf("No mode entered (eg: /kestrel, /goshawk etc.)\n");
    return 1;
  }
  // The bag holds the files of a reading and its report, whose checksums
  // it takes: /BAG turns the report on.
  if (s->bag_arg) {
    bool reads_to_files = s->kestrel_arg ? !s->waveout_arg : s->bittern_arg && !s->goshawk_arg;
    if (!reads_to_files) {
      std::printf("/BAG works with /KESTREL and /BITTERN only, writing files\n");
      return 1;
    }
    if (!s->report_arg) s->report_arg = s->bag_arg;
  }
  if (s->overwrite_arg && !s->bittern_arg) {
    std::printf("/OVERWRITE works with /BITTERN only\n");
    return 1;
  }
  if (s->bwf_arg && s->flac_arg) {
    std::printf("/BWF and /FLAC cannot be given together: each track is written either as Broadcast WAV or as FLAC\n");
    return 1;
  }
  return 0;
}

void print_usage(void) {
  std::printf(
      "\nUsage: kestrel MODE [NAME] [/INPUTID A:T] [/OUTPUTID A:T] [options]\n"
      "Modes (the first given in this order runs):\n"
      "  /KESTREL NAME   read the tape into NAME001.wav, NAME002.wav, ... with logs\n"
      "  /GOSHAWK NAME   record the files listed in NAME.CUE onto the tape\n"
      "  /BITTERN NAME   save the tape's frames to NAME.img\n"
      "  /BUNTING NAME   write NAME.img back to tape\n"
      "  /PINTAIL        copy the input tape to the output tape\n"
      "  /RESCUE NAME    read again the frames NAME.map lists as damaged into NAME.img\n"
      "  /TOC [NAME]     list the programs of the input tape without reading their audio\n"
      "Drives (not used with /FROMIMAGE):\n"
      "  /INPUTID A:T    adapter and SCSI ID of the drive read (needed by KESTREL, TOC, BITTERN, PINTAIL)\n"
      "  /OUTPUTID A:T   adapter and SCSI ID of the drive written (needed by GOSHAWK, BUNTING, PINTAIL)\n"
      "Options:\n"
      "  /FROMIMAGE PATH read the frames of image PATH instead of a drive (KESTREL, TOC)\n"
      "  /REWIND         rewind the tapes first and skip the lead-in when reading\n"
      "  /SEEK TYPE POS  position the input tape first: PROGNUM n, or ABSTIME, RUNTIME,\n"
      "                  PROGTIME h:m:s:f\n"
      "  /STARTID        start a new WAV file at each start ID\n"
      "  /BYPROGRAM      start a new WAV file at each new program number\n"
      "  /ONEWAV         keep one WAV file across sampling-rate changes\n"
      "  /WAVEOUT        play the tape instead of writing WAV files\n"
      "  /BWF            write Broadcast WAV files: the tape's date, times and programs in them\n"
      "  /FLAC           write FLAC files NAME001.flac, ... instead of WAV files\n"
      "  /RF64           write a WAV file past 4 GiB as RF64 instead of starting another\n"
      "                  (always with /BWF)\n"
      "  /NOLOUDNESS     do not measure the loudness of Broadcast WAV and FLAC files\n"
      "  /DEEMPHASIS     write (or play) audio recorded with 50/15 us pre-emphasis de-emphasised\n"
      "  /ERRORCORRECT   conceal isolated damaged samples\n"
      "  /STOPEOT        read on over blank tape\n"
      "  /REREAD N       read damaged stretches again, up to N (1-99) extra passes,\n"
      "                  keeping the best copy of each frame (KESTREL, BITTERN)\n"
      "  /MRSOFF         turn off MRS mode on the drives that have it\n"
      "  /REPORT         with KESTREL, BITTERN, PINTAIL: a transfer report NAME.json,\n"
      "                  NAME.sha256 and NAME.html (PINTAIL: PINTAIL.*)\n"
      "  /BAG            with KESTREL, BITTERN: the files and the report as a BagIt bag\n"
      "                  in the folder NAME (the report included; see doc/bag.md)\n"
      "  /TRACE PATH     write every SCSI command of the run to PATH (see doc/trace.md)\n"
      "  /OVERWRITE      with BITTERN: dump the tape again over a finished NAME.img\n"
      "The archive's identity in Broadcast WAV and FLAC files (see doc/command-line.md):\n"
      "  /ORIGINATOR T   the archive (country code and acronym; default kestrel)\n"
      "  /REFERENCE T    the stem of each file's reference (default from the tape's frames)\n"
      "  /IDENTIFIER T   the tape's identifiers, first in each file's description\n"
      "  /LOCATION T     the archival location (LIST/INFO IARL)\n"
      "  /COPYRIGHT T    the copyright (LIST/INFO ICOP)\n"
      "  /TRANSFERTIME T the transfer's time, ISO 8601 (also SOURCE_DATE_EPOCH): two readings\n"
      "                  of one image give identical files\n"
      "Example: kestrel /KESTREL TAPE /INPUTID 0:4 /STARTID /REWIND\n"
      "         kestrel /KESTREL TAPE /FROMIMAGE tape.img /STARTID /REWIND\n");
}
