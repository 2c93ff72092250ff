// SPDX-License-Identifier: MIT
#include "control/verbs.h"

#include <getopt.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/console_pace.h"
#include "control/defaults.h"
#include "control/run_console.h"
#include "control/run_sequence.h"
#include "modes/name_template.h"
#include "control/version.h"
#include "platform/self_path.h"

namespace {

enum VerbId { READ, TOC, DUMP, RESTORE, COPY, RECORD, PLAY, DRIVES, MERGE, RESCUE };

struct Verb {
  const char* name;
  const char* mode;      // the slash mode it runs; nullptr: the sibling program kestrel-NAME
  const char* fixed;     // a switch it always adds, or nullptr
  const char* operands;  // as the usage line shows them
  int least, most;       // how many names it takes
  const char* drive;     // the switch --drive stands for
  const char* summary;
};

const Verb kVerbs[] = {
    {"read", "/KESTREL", nullptr, "NAME", 1, 1, "/INPUTID",
     "Read the tape (or an image) into NAME001.wav, NAME002.wav, ... with logs."},
    {"toc", "/TOC", nullptr, "[NAME]", 0, 1, "/INPUTID",
     "List the programs of the tape (or an image) without reading their audio."},
    {"dump", "/BITTERN", nullptr, "NAME", 1, 1, "/INPUTID", "Save every frame of the tape to NAME.img."},
    {"restore", "/BUNTING", nullptr, "NAME", 1, 1, "/OUTPUTID", "Write NAME.img back to the tape."},
    {"copy", "/PINTAIL", nullptr, "", 0, 0, "/INPUTID", "Copy the tape in one drive to the tape in another."},
    {"record", "/GOSHAWK", nullptr, "CUE", 1, 1, "/OUTPUTID", "Record the files listed in CUE.CUE onto the tape."},
    {"play", "/KESTREL", "/WAVEOUT", "[NAME]", 0, 1, "/INPUTID",
     "Play the tape on the wave-out device (logs as NAME, default PLAY)."},
    {"drives", nullptr, nullptr, "", 0, 0, nullptr, "List the drives the provider sees, or probe one."},
    {"merge", nullptr, nullptr, "OUT IN...", 2, 1 << 20, nullptr, "One image from several images of a tape."},
    {"rescue", "/RESCUE", nullptr, "NAME", 1, 1, "/INPUTID",
     "Read again the frames NAME.map lists as damaged, keeping the best copy in NAME.img."},
};

constexpr unsigned bit(VerbId v) { return 1u << v; }
constexpr unsigned kReaders = bit(READ) | bit(TOC) | bit(DUMP) | bit(COPY) | bit(PLAY) | bit(RESCUE);
constexpr unsigned kWriters = bit(RESTORE) | bit(COPY) | bit(RECORD);
constexpr unsigned kModes = kReaders | kWriters;
constexpr unsigned kAudio = bit(READ) | bit(PLAY);

enum OptionCode {
  OPT_DRIVE = 'd',
  OPT_HELP = 'h',
  OPT_QUIET = 'q',
  OPT_TO_DRIVE = 256,
  OPT_FROM_IMAGE,
  OPT_REWIND,
  OPT_SPLIT,
  OPT_ONE_FILE,
  OPT_SEEK,
  OPT_FORMAT,
  OPT_DEEMPHASIS,
  OPT_CONCEAL,
  OPT_READ_ON,
  OPT_REREAD,
  OPT_REPORT,
  OPT_MRS_OFF,
  OPT_TRACE,
  OPT_VERBOSE,
  OPT_PROBE,
  OPT_VERSION,
  OPT_NO_REPORT,
  OPT_NO_READ_ON,
  OPT_SHOW_CONFIG,
  OPT_RF64,
  OPT_NO_LOUDNESS,
  OPT_LENGTH,
  OPT_EVENTS,
  OPT_NAME_TEMPLATE,
  OPT_OVERWRITE,
  OPT_ORIGINATOR,
  OPT_REFERENCE,
  OPT_IDENTIFIER,
  OPT_LOCATION,
  OPT_COPYRIGHT,
  OPT_TRANSFER_TIME,
  OPT_BAG,
};

// Every option, the slash switch it stands for and the verbs that take it.
// A switch of "" takes its slash form from the value (kChoices), or has none.
struct Option {
  const char* name;
  int code;
  const char* value;  // the value's name in the help; nullptr: no value
  const char* slash;
  unsigned verbs;
  const char* help;
};

const Option kOptions[] = {
    {"drive", OPT_DRIVE, "A:T", "", kModes, "the drive's adapter and SCSI ID"},
    {"to-drive", OPT_TO_DRIVE, "A:T", "/OUTPUTID", kWriters, "the drive written"},
    {"from-image", OPT_FROM_IMAGE, "PATH", "/FROMIMAGE", bit(READ) | bit(TOC), "the frames of image PATH, no drive"},
    {"rewind", OPT_REWIND, nullptr, "/REWIND", kModes, "rewind first, and skip the lead-in when reading"},
    {"split", OPT_SPLIT, "AT", "", bit(READ), "new files at start-id, program or rate (default)"},
    {"one-file", OPT_ONE_FILE, nullptr, "/ONEWAV", bit(READ), "one file across sampling-rate changes"},
    {"name-template", OPT_NAME_TEMPLATE, "T", "", bit(READ), "names from %n %f %p %d %t %a (NAME%f)"},
    {"seek", OPT_SEEK, "POS", "/SEEK", kModes & ~bit(RESTORE) & ~bit(RESCUE),
     "first to program:N, abs:, run: or program-time:H:M:S:F"},
    {"format", OPT_FORMAT, "F", "", bit(READ), "wav (the default), bwf or flac (--rf64, --no-loudness)"},
    {"rf64", OPT_RF64, nullptr, "/RF64", bit(READ), nullptr},
    {"no-loudness", OPT_NO_LOUDNESS, nullptr, "/NOLOUDNESS", bit(READ), nullptr},
    {"de-emphasis", OPT_DEEMPHASIS, nullptr, "/DEEMPHASIS", kAudio, "undo 50/15 us pre-emphasis"},
    {"conceal", OPT_CONCEAL, nullptr, "/ERRORCORRECT", kAudio, "conceal isolated damaged samples"},
    {"read-on", OPT_READ_ON, nullptr, "/STOPEOT", kModes & ~bit(RECORD), "read on over blank tape (--no-read-on: stop)"},
    {"no-read-on", OPT_NO_READ_ON, nullptr, "", kModes & ~bit(RECORD), nullptr},
    {"reread", OPT_REREAD, "N", "/REREAD", bit(READ) | bit(DUMP), "read damaged stretches up to N (1-99) more times"},
    {"report", OPT_REPORT, nullptr, "/REPORT", bit(READ) | bit(DUMP) | bit(COPY) | bit(RESCUE), "NAME.json, .sha256, .html (--no-report: none; --bag: a BagIt bag)"},
    {"no-report", OPT_NO_REPORT, nullptr, "", bit(READ) | bit(DUMP) | bit(COPY) | bit(RESCUE), nullptr},
    {"bag", OPT_BAG, nullptr, "/BAG", bit(READ) | bit(DUMP), nullptr},
    {"overwrite", OPT_OVERWRITE, nullptr, "/OVERWRITE", bit(DUMP), "dump again over a finished NAME.img (NAME.map)"},
    {"mrs-off", OPT_MRS_OFF, nullptr, "/MRSOFF", kModes, "turn off MRS mode on drives that have it"},
    {"trace", OPT_TRACE, "PATH", "/TRACE", kModes, "every SCSI command of the run to PATH"},
    // The archive's identity: one line of help for all (doc/command-line.md).
    {"originator", OPT_ORIGINATOR, "TEXT", "/ORIGINATOR", bit(READ),
     "the archive; --reference, --identifier, --archive-location, --copyright, --transfer-time"},
    {"reference", OPT_REFERENCE, "TEXT", "/REFERENCE", bit(READ), nullptr},
    {"identifier", OPT_IDENTIFIER, "TEXT", "/IDENTIFIER", bit(READ), nullptr},
    {"archive-location", OPT_LOCATION, "TEXT", "/LOCATION", bit(READ), nullptr},
    {"copyright", OPT_COPYRIGHT, "TEXT", "/COPYRIGHT", bit(READ), nullptr},
    {"transfer-time", OPT_TRANSFER_TIME, "ISO", "/TRANSFERTIME", bit(READ) | bit(DUMP) | bit(COPY),
     "the transfer's time fixed, e.g. 2026-12-09T10:00:00Z"},
    {"length", OPT_LENGTH, "H:M:S", "", kAudio, "the recording's length, for the time left"},
    {"quiet", OPT_QUIET, nullptr, "", kModes, "only warnings and the summary"},
    {"events", OPT_EVENTS, "json[:FD]", "", kModes, "JSON events a line to stderr (or FD)"},
    {"verbose", OPT_VERBOSE, nullptr, "", kModes, "say the slash command the run stands for"},
    {"probe", OPT_PROBE, "A:T", "", bit(DRIVES), "probe the drive at A:T"},
    {"show-config", OPT_SHOW_CONFIG, nullptr, "", kModes, nullptr},  // said in the help's last line
    {"version", OPT_VERSION, nullptr, "", ~0u, nullptr},
    {"help", OPT_HELP, nullptr, "", ~0u, "this help (--version: kestrel's and its libraries')"},
};
constexpr size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

// The values of the options whose switch depends on them.
struct Choice {
  int code;
  const char* value;
  const char* slash;  // "" for the default, which needs none
};

const Choice kChoices[] = {
    {OPT_SPLIT, "start-id", "/STARTID"}, {OPT_SPLIT, "program", "/BYPROGRAM"},  {OPT_SPLIT, "rate", ""},
    {OPT_FORMAT, "wav", ""},             {OPT_FORMAT, "bwf", "/BWF"},           {OPT_FORMAT, "flac", "/FLAC"},
    {OPT_SEEK, "program", "PROGNUM"},    {OPT_SEEK, "abs", "ABSTIME"},          {OPT_SEEK, "run", "RUNTIME"},
    {OPT_SEEK, "program-time", "PROGTIME"},
};
constexpr size_t kChoiceCount = sizeof kChoices / sizeof kChoices[0];

// What the command line gave.
struct Given {
  const Verb* verb = nullptr;
  VerbId id = READ;
  bool option[kOptionCount] = {};
  const char* value[kOptionCount] = {};
  bool choice[kChoiceCount] = {};
  const char* seek_position = nullptr;
  std::vector<const char*> names;
};

const Option* option_of(int code) {
  for (const Option& o : kOptions)
    if (o.code == code) return &o;
  return nullptr;
}

size_t index_of(const Option* o) { return static_cast<size_t>(o - kOptions); }

bool given(const Given& g, int code) { return g.option[index_of(option_of(code))]; }
const char* value_of(const Given& g, int code) { return g.value[index_of(option_of(code))]; }

// One line on what is wrong; the exit code of a rejected command line.
int reject(const Given& g, const char* format, const char* a = "", const char* b = "") {
  std::printf("kestrel %s: ", g.verb->name);
  std::printf(format, a, b);
  std::printf("\n");
  return EXIT_BAD_COMMAND_LINE;
}

bool all_digits(const char* text) { return *text && std::strspn(text, "0123456789") == std::strlen(text); }

// H:M:S:F, four numbers.
bool is_time(const char* text) {
  int n[4];
  char extra = 0;
  return std::sscanf(text, "%d:%d:%d:%d%c", &n[0], &n[1], &n[2], &n[3], &extra) == 4 &&
         std::strspn(text, "0123456789:") == std::strlen(text);
}

// The value of a choice option: marks its choice, or says what it takes.
int take_choice(Given* g, const Option& o, const char* text) {
  std::string value = text;
  if (o.code == OPT_SEEK) {
    size_t colon = value.find(':');
    if (colon == std::string::npos) return reject(*g, "--seek takes program:N, abs:, run: or program-time:H:M:S:F, not '%s'", text);
    value.resize(colon);
    g->seek_position = text + colon + 1;
  }
  std::string names;
  for (size_t i = 0; i < kChoiceCount; ++i) {
    if (kChoices[i].code != o.code) continue;
    if (value == kChoices[i].value) {
      // --format and --seek take one value, the last given; --split gathers its values.
      if (o.code != OPT_SPLIT)
        for (size_t j = 0; j < kChoiceCount; ++j)
          if (kChoices[j].code == o.code) g->choice[j] = false;
      g->choice[i] = true;
      return 0;
    }
    names += names.empty() ? "" : ", ";
    names += kChoices[i].value;
  }
  std::printf("kestrel %s: --%s takes %s, not '%s'\n", g->verb->name, o.name, names.c_str(), text);
  return EXIT_BAD_COMMAND_LINE;
}

void print_verb_help(const Verb& v, VerbId id) {
  std::printf("Usage: kestrel %s %s%s[options]  (in any order; -- ends them)\n%s\n", v.name, v.operands,
              *v.operands ? " " : "", v.summary);
  for (const Option& o : kOptions) {
    if (!(o.verbs & bit(id)) || !o.help) continue;
    if (o.code == OPT_TRANSFER_TIME && (bit(id) & option_of(OPT_ORIGINATOR)->verbs)) continue;  // named there
    char left[40];
    char short_form[5] = "    ";
    if (o.code < 256) std::snprintf(short_form, sizeof short_form, "-%c, ", o.code);
    std::snprintf(left, sizeof left, "%s--%s%s%s", short_form, o.name, o.value ? " " : "", o.value ? o.value : "");
    const char* help = o.help;
    if (o.code == OPT_DRIVE && id == COPY) help = "the drive read";
    if (o.code == OPT_DRIVE && v.drive && std::strcmp(v.drive, "/OUTPUTID") == 0) help = "the drive written";
    std::printf("  %-22s %s\n", left, help);
  }
  if (v.mode)
    std::printf("Options stand for switches of kestrel %s (doc/command-line.md); --show-config: the defaults.\n",
                v.mode);
}

// The switches of the run, in the order of the options' table.
std::vector<std::string> switches_of(const Given& g) {
  const Verb& v = *g.verb;
  std::vector<std::string> out = {"kestrel", v.mode};
  if (!g.names.empty()) out.push_back(g.names[0]);
  else if (g.id == PLAY) out.push_back("PLAY");
  if (v.fixed) out.push_back(v.fixed);
  for (size_t i = 0; i < kOptionCount; ++i) {
    if (!g.option[i]) continue;
    const Option& o = kOptions[i];
    if (o.code == OPT_DRIVE) {
      out.insert(out.end(), {v.drive, g.value[i]});
    } else if (o.code == OPT_SEEK) {
      for (size_t c = 0; c < kChoiceCount; ++c)
        if (g.choice[c] && kChoices[c].code == OPT_SEEK) out.insert(out.end(), {"/SEEK", kChoices[c].slash, g.seek_position});
    } else if (*o.slash) {
      out.push_back(o.slash);
      if (o.value) out.push_back(g.value[i]);
    } else {
      for (size_t c = 0; c < kChoiceCount; ++c)
        if (g.choice[c] && kChoices[c].code == o.code && *kChoices[c].slash) out.push_back(kChoices[c].slash);
    }
  }
  return out;
}

// The descriptor --events json[:FD] writes to: standard error, or FD when it
// is open; -1 for anything else.
int events_fd(const char* value) {
  if (std::strcmp(value, "json") == 0) return STDERR_FILENO;
  if (std::strncmp(value, "json:", 5) != 0 || !all_digits(value + 5)) return -1;
  int fd = std::atoi(value + 5);
  return fcntl(fd, F_GETFD) == -1 ? -1 : fd;
}

// What no single option can say: the combinations, the drives and the names.
int check_combination(const Given& g) {
  const Verb& v = *g.verb;
  if (static_cast<int>(g.names.size()) < v.least)
    return reject(g, "%s missing (kestrel %s --help)", v.operands, v.name);
  if (static_cast<int>(g.names.size()) > v.most) return reject(g, "one name too many: '%s'", g.names[static_cast<size_t>(v.most)]);
  for (int code : {OPT_DRIVE, OPT_TO_DRIVE, OPT_PROBE})
    if (given(g, code) && !is_drive_address(value_of(g, code)))
      return reject(g, "--%s takes ADAPTER:ID, each 0 to 7, not '%s'", option_of(code)->name, value_of(g, code));
  if (given(g, OPT_SEEK)) {
    bool program = false;
    for (size_t c = 0; c < kChoiceCount; ++c)
      if (g.choice[c] && kChoices[c].code == OPT_SEEK) program = std::strcmp(kChoices[c].value, "program") == 0;
    if (program ? !all_digits(g.seek_position) : !is_time(g.seek_position))
      return reject(g, "--seek position '%s' is not %s", g.seek_position, program ? "a program number" : "H:M:S:F");
  }
  if (given(g, OPT_REREAD)) {
    const char* n = value_of(g, OPT_REREAD);
    if (!all_digits(n) || std::atoi(n) < 1 || std::atoi(n) > 99) return reject(g, "--reread takes 1 to 99 passes, not '%s'", n);
  }
  if (given(g, OPT_FROM_IMAGE)) {
    for (int code : {OPT_DRIVE, OPT_SEEK, OPT_REREAD, OPT_MRS_OFF, OPT_TRACE})
      if (given(g, code)) return reject(g, "--from-image reads a file, no drive: not with --%s", option_of(code)->name);
    if (!*value_of(g, OPT_FROM_IMAGE)) return reject(g, "--from-image needs the path of an image");
  }
  if (given(g, OPT_NAME_TEMPLATE)) {
    std::string fault = name_template_fault(value_of(g, OPT_NAME_TEMPLATE));
    if (!fault.empty()) return reject(g, "%s", fault.c_str());
  }
  if (given(g, OPT_LENGTH) && expected_frames(nullptr, "", value_of(g, OPT_LENGTH)) < 0)
    return reject(g, "--length takes H:M:S, not '%s'", value_of(g, OPT_LENGTH));
  if (given(g, OPT_EVENTS) && events_fd(value_of(g, OPT_EVENTS)) < 0)
    return reject(g, "--events takes json, or json:FD with FD open, not '%s'", value_of(g, OPT_EVENTS));
  bool rate_split = false;
  for (size_t c = 0; c < kChoiceCount; ++c)
    if (g.choice[c] && kChoices[c].code == OPT_SPLIT && std::strcmp(kChoices[c].value, "rate") == 0) rate_split = true;
  if (rate_split && given(g, OPT_ONE_FILE))
    return reject(g, "--one-file keeps one file across rate changes: not with --split rate");
  if (!v.mode) return 0;
  bool reads = (kReaders & bit(g.id)) && !given(g, OPT_FROM_IMAGE);
  bool writes = kWriters & bit(g.id);
  bool drive_read = reads && given(g, OPT_DRIVE);
  bool drive_written = writes && (given(g, OPT_TO_DRIVE) || (g.id != COPY && given(g, OPT_DRIVE)));
  if (reads && !drive_read) return reject(g, "which drive? give --drive ADAPTER:ID, or --from-image PATH");
  if (writes && !drive_written)
    return reject(g, g.id == COPY ? "which drive is written? give --to-drive ADAPTER:ID"
                                  : "which drive? give --drive ADAPTER:ID");
  if (g.id != COPY && given(g, OPT_DRIVE) && given(g, OPT_TO_DRIVE))
    return reject(g, "one drive: --drive or --to-drive, not both");
  if (g.id == COPY && std::strcmp(value_of(g, OPT_DRIVE), value_of(g, OPT_TO_DRIVE)) == 0)
    return reject(g, "the drive read and the drive written must differ, both are %s", value_of(g, OPT_DRIVE));
  return 0;
}

const struct {
  int code;
  DefaultKey key;
} kTextDefaults[] = {{OPT_ORIGINATOR, DEFAULT_ORIGINATOR},
                     {OPT_LOCATION, DEFAULT_LOCATION},
                     {OPT_COPYRIGHT, DEFAULT_COPYRIGHT},
                     {OPT_TRANSFER_TIME, DEFAULT_TRANSFER_TIME}};

void set_option(Given* g, int code, const char* value) {
  g->option[index_of(option_of(code))] = true;
  g->value[index_of(option_of(code))] = value;
}

// The options the defaults stand for, where the command line left them
// unsaid and the verb takes them.
void apply_defaults(Given* g, const Defaults& d) {
  auto takes = [g](int code) { return (option_of(code)->verbs & bit(g->id)) != 0; };
  const std::string& drive = d.values[DEFAULT_DRIVE].value;
  // An image needs no drive; restore and record write to the one --to-drive names.
  bool no_drive = given(*g, OPT_FROM_IMAGE) || (g->id != COPY && given(*g, OPT_TO_DRIVE));
  if (!drive.empty() && takes(OPT_DRIVE) && !given(*g, OPT_DRIVE) && !no_drive) set_option(g, OPT_DRIVE, drive.c_str());
  const std::string& format = d.values[DEFAULT_FORMAT].value;
  if (!format.empty() && takes(OPT_FORMAT) && !given(*g, OPT_FORMAT)) {
    set_option(g, OPT_FORMAT, format.c_str());
    take_choice(g, *option_of(OPT_FORMAT), format.c_str());  // checked when it was read
  }
  const struct {
    int on, off;
    DefaultKey key;
  } switches[] = {{OPT_REPORT, OPT_NO_REPORT, DEFAULT_REPORT}, {OPT_READ_ON, OPT_NO_READ_ON, DEFAULT_READ_ON}};
  for (const auto& sw : switches) {
    if (!takes(sw.on)) continue;
    if (given(*g, sw.off)) g->option[index_of(option_of(sw.on))] = false;
    else if (!given(*g, sw.on) && default_says_yes(d.values[sw.key].value)) set_option(g, sw.on, nullptr);
  }
  // What the archive sets once: its name, location and copyright, the time.
  for (const auto& [code, key] : kTextDefaults) {
    const std::string& value = d.values[key].value;
    if (!value.empty() && takes(code) && !given(*g, code)) set_option(g, code, value.c_str());
  }
}

// The defaults in force and where each came from; with a verb's command
// line, what it gives in their place.
void print_config(const Given* g, const Defaults& d) {
  const int given_as[DEFAULT_COUNT][2] = {{OPT_DRIVE, 0},      {OPT_FORMAT, 0},    {OPT_REPORT, OPT_NO_REPORT},
                                          {OPT_READ_ON, OPT_NO_READ_ON}, {OPT_ORIGINATOR, 0}, {OPT_LOCATION, 0},
                                          {OPT_COPYRIGHT, 0}, {OPT_TRANSFER_TIME, 0}};
  const char* unset[DEFAULT_COUNT] = {"(none)", "wav", "no", "no", "kestrel", "(none)", "(none)", "(now)"};
  for (int key = 0; key < DEFAULT_COUNT; ++key) {
    std::string value = d.values[key].value, source = d.values[key].source;
    const int* codes = given_as[key];
    if (g && given(*g, codes[0])) {
      value = value_of(*g, codes[0]) ? value_of(*g, codes[0]) : "yes";
      source = "command line";
    }
    if (g && codes[1] && given(*g, codes[1])) value = "no", source = "command line";
    std::printf("%-8s %-7s %s\n", default_key_name(static_cast<DefaultKey>(key)),
                value.empty() ? unset[key] : value.c_str(), source.c_str());
  }
}

// Reads the options with getopt_long; 0, or the exit code after saying what is wrong.
int read_options(int argc, char** argv, Given* g) {
  std::vector<option> longs;
  for (const Option& o : kOptions) longs.push_back({o.name, o.value ? required_argument : no_argument, nullptr, o.code});
  longs.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  optind = 0;  // from the start, as GNU getopt takes it
  for (;;) {
    int index = -1;
    int code = getopt_long(argc, argv, ":d:hq", longs.data(), &index);
    if (code == -1) break;
    if (code == '?') {
      if (optopt) {
        char text[2] = {static_cast<char>(optopt), 0};
        return reject(*g, "unknown option -%s (kestrel %s --help)", text, g->verb->name);
      }
      return reject(*g, "unknown option %s (kestrel %s --help)", argv[optind - 1], g->verb->name);
    }
    if (code == ':') {
      const Option* o = option_of(optopt);
      return reject(*g, "--%s needs a value", o ? o->name : argv[optind - 1]);
    }
    const Option* o = option_of(code);
    if (!(o->verbs & bit(g->id))) return reject(*g, "--%s is not an option of %s", o->name, g->verb->name);
    g->option[index_of(o)] = true;
    g->value[index_of(o)] = optarg;
    if (o->code == OPT_SPLIT || o->code == OPT_FORMAT || o->code == OPT_SEEK) {
      int refused = take_choice(g, *o, optarg);
      if (refused) return refused;
    }
  }
  for (int i = optind; i < argc; ++i) g->names.push_back(argv[i]);
  return 0;
}

// drives and merge: the programs kestrel-drives and kestrel-merge beside this
// one, in place of it. Each keeps its own console and exit codes, and kestrel
// links none of their code.
int run_sibling(const Given& g) {
  std::string path = platform_program_dir() + "/kestrel-" + g.verb->name;
  std::vector<std::string> words = {path};
  if (given(g, OPT_PROBE)) words.insert(words.end(), {"--probe", value_of(g, OPT_PROBE)});
  words.insert(words.end(), g.names.begin(), g.names.end());
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  std::fflush(stdout);
  execv(path.c_str(), args.data());
  std::printf("kestrel %s: cannot run %s: %s\n", g.verb->name, path.c_str(), std::strerror(errno));
  return EXIT_MODE_FAILED;
}

const Verb* find_verb(const char* word) {
  for (const Verb& v : kVerbs)
    if (std::strcmp(word, v.name) == 0) return &v;
  return nullptr;
}

}  // namespace

bool is_verb(const char* word) { return find_verb(word) != nullptr; }

void print_verbs(void) {
  std::printf("\nOr one verb per job, with GNU-style options (kestrel VERB --help):\n");
  for (const Verb& v : kVerbs) std::printf("  kestrel %-7s %-9s %s\n", v.name, v.operands, v.summary);
  std::printf("  kestrel --show-config     The verbs' defaults in force and where each came from.\n");
}

int show_config(void) {
  Defaults defaults;
  std::string wrong = load_defaults(&defaults);
  if (!wrong.empty()) {
    std::printf("%s\n", wrong.c_str());
    return EXIT_BAD_COMMAND_LINE;
  }
  print_config(nullptr, defaults);
  return EXIT_DONE;
}

int run_verb(int argc, char** argv, SwitchRun run) {
  Given g;
  g.verb = find_verb(argv[1]);
  g.id = static_cast<VerbId>(g.verb - kVerbs);
  int refused = read_options(argc - 1, argv + 1, &g);
  if (refused) return refused;
  if (given(g, OPT_HELP)) {
    print_verb_help(*g.verb, g.id);
    return EXIT_DONE;
  }
  if (given(g, OPT_VERSION)) {
    print_versions();
    return EXIT_DONE;
  }
  Defaults defaults;
  if (g.verb->mode) {
    std::string wrong = load_defaults(&defaults);
    if (!wrong.empty()) {
      std::printf("%s\n", wrong.c_str());
      return EXIT_BAD_COMMAND_LINE;
    }
    if (given(g, OPT_SHOW_CONFIG)) {
      print_config(&g, defaults);
      return EXIT_DONE;
    }
    apply_defaults(&g, defaults);
  }
  refused = check_combination(g);
  if (refused) return refused;
  if (!g.verb->mode) return run_sibling(g);
  std::vector<std::string> words = switches_of(g);
  if (given(g, OPT_VERBOSE)) {
    std::string line;
    for (const std::string& w : words) line += (line.empty() ? "" : " ") + w;
    std::printf("%s\n", line.c_str());
  }
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  // Off a terminal the status lines are paced; on one each rewrites the one before.
  ConsolePace pace = given(g, OPT_QUIET) ? PACE_QUIET : isatty(STDOUT_FILENO) ? PACE_TERMINAL : PACE_PLAIN;
  bool paced = console_pace_start(pace) == 0;
  const char* image = given(g, OPT_FROM_IMAGE) ? value_of(g, OPT_FROM_IMAGE) : nullptr;
  std::string source = image ? std::string("image ") + image : given(g, OPT_DRIVE) ? std::string("drive ") + value_of(g, OPT_DRIVE) : "";
  if (given(g, OPT_TO_DRIVE)) source += std::string(source.empty() ? "" : ", ") + "to drive " + value_of(g, OPT_TO_DRIVE);
  const char* name = g.names.empty() ? "" : g.names[0];
  RunConsoleSetup setup{pace, given(g, OPT_EVENTS) ? events_fd(value_of(g, OPT_EVENTS)) : -1, 0, g.verb->name, name,
                        source.c_str(), (kAudio & bit(g.id)) != 0};
  if (setup.watch_frames) setup.total_frames = expected_frames(image, name, value_of(g, OPT_LENGTH));
  run_console_start(setup);
  run_name_template_set(given(g, OPT_NAME_TEMPLATE) ? value_of(g, OPT_NAME_TEMPLATE) : nullptr);
  int exit_code = run(static_cast<int>(words.size()), args.data());
  run_name_template_set(nullptr);
  run_console_stop();
  if (paced) console_pace_finish(exit_code != EXIT_DONE && exit_code != EXIT_DAMAGED);
  run_console_finish(exit_code);
  return exit_code;
}
