// SPDX-License-Identifier: MIT
// The installed tree: cmake --install into a fresh prefix, then the installed
// kestrel records the demo's two tracks and reads them back from a folder of
// its own, finding the cue file in the current folder and its libraries and
// provider in the installed bin/ + lib/kestrel/ tree only; and C programs
// built against the installed libraries with pkg-config run. The same for the
// Debian packages, unpacked by scripts/release-check.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

const char kDemoCue[] =
    "[CONFIG]\n"
    "SCMS=00\n"
    "INTERTRACK_SILENCE=3\n"
    "LEADOUT_SILENCE=1\n"
    "[FILES]\n"
    "FILE_001=demo_strings.wav\n"
    "FILE_002=mono_22k.mp3\n";

// The 16-bit stereo audio behind a canonical 44-byte WAV header.
std::string wav_audio(const std::string& path) { return read_file(path).substr(44); }

// The anchor a Markdown page gives a heading: lower case, spaces as hyphens,
// punctuation but hyphens and underscores dropped.
std::string heading_anchor(const std::string& heading) {
  std::string anchor;
  for (unsigned char c : heading) {
    if (c == ' ') anchor += '-';
    else if (std::isalnum(c) || c == '-' || c == '_' || c >= 0x80) anchor += static_cast<char>(std::tolower(c));
  }
  return anchor;
}

struct LinkCheck {
  int links = 0;
  std::vector<std::string> broken;  // "page: target"
};

// Every relative link (and image) of README.md and the pages (*.md) in its
// folder pages under folder: its file must exist, and a #part must name a
// heading of that page. Links in code blocks and code spans are text, not links.
LinkCheck check_links(const std::string& folder, const std::string& pages_folder = "doc") {
  namespace fs = std::filesystem;
  std::vector<fs::path> pages = {fs::path(folder) / "README.md"};
  if (fs::is_directory(fs::path(folder) / pages_folder))
    for (const auto& entry : fs::directory_iterator(fs::path(folder) / pages_folder))
      if (entry.path().extension() == ".md") pages.push_back(entry.path());
  std::map<std::string, std::set<std::string>> anchors;  // page -> its headings' anchors
  std::vector<std::pair<fs::path, std::string>> links;
  for (const fs::path& page : pages) {
    std::set<std::string>& own = anchors[fs::weakly_canonical(page).string()];
    std::istringstream text(read_file(page.string()));
    bool in_code = false;
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("```", 0) == 0) in_code = !in_code;
      if (in_code || line.rfind("```", 0) == 0) continue;
      if (line[0] == '#') own.insert(heading_anchor(line.substr(line.find_first_not_of('#') + 1)));
      static const std::regex span("`[^`]*`"), link(R"(\]\(([^)\s]+)\))");
      line = std::regex_replace(line, span, "");
      for (std::sregex_iterator m(line.begin(), line.end(), link), end; m != end; ++m)
        links.emplace_back(page, (*m)[1].str());
    }
  }
  LinkCheck check;
  for (const auto& [page, target] : links) {
    if (target.find("://") != std::string::npos || target.rfind("mailto:", 0) == 0) continue;
    ++check.links;
    const size_t hash = target.find('#');
    const std::string file = target.substr(0, hash);
    const fs::path path = file.empty() ? page : page.parent_path() / file;
    bool found = fs::exists(path);
    if (found && hash != std::string::npos) {
      auto headings = anchors.find(fs::weakly_canonical(path).string());
      found = headings != anchors.end() && headings->second.count(target.substr(hash + 1)) == 1;
    }
    if (!found) check.broken.push_back(fs::relative(page, folder).string() + ": " + target);
  }
  return check;
}

// What an installed tree under prefix holds.
void expect_installed_files(const std::string& prefix) {
  for (const char* file : {"bin/kestrel", "bin/kestrel-drives", "bin/kestrel-merge", "lib/kestrel/libthistle.so", "lib/kestrel/libsorrel.so",
                           "lib/kestrel/libwnaspi32.so", "lib/udev/rules.d/60-kestrel.rules",
                           "share/doc/kestrel/README.md", "share/doc/kestrel/copyright",
                           "share/bash-completion/completions/kestrel", "share/zsh/vendor-completions/_kestrel",
                           "share/doc/kestrel/guide/events.schema.json",
                           "include/kestrel/thistle.h", "include/kestrel/sorrel.h",
                           KESTREL_PKGCONFIG_DIR "/thistle.pc", KESTREL_PKGCONFIG_DIR "/sorrel.pc"})
    EXPECT_TRUE(file_exists(prefix + "/" + file)) << file;
  for (const char* page : {"kestrel.1", "kestrel-drives.1", "kestrel-merge.1"}) {
    ProcessResult text = run_process("/bin/gzip", {"-dc", prefix + "/share/man/man1/" + page + ".gz"});
    EXPECT_EQ(text.out, read_file(std::string(KESTREL_SOURCE_DIR) + "/doc/" + page)) << page;
  }
  // The installed README's links reach its pages (in guide/ there), as in the source tree.
  EXPECT_FALSE(file_exists(prefix + "/share/doc/kestrel/doc/modes.md"));
  LinkCheck docs = check_links(prefix + "/share/doc/kestrel", "guide");
  EXPECT_GT(docs.links, 0);
  for (const std::string& link : docs.broken) ADD_FAILURE() << "installed README or page links to nothing: " << link;
}

// The installed kestrel under prefix records the demo and reads it back in a
// folder of its own, with the libraries and provider of prefix only.
void expect_records_and_reads_the_demo(const std::string& prefix) {
  TempDir work;
  std::string fixtures = std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/";
  for (const char* name : {"demo_strings.wav", "mono_22k.mp3"})
    std::filesystem::copy_file(fixtures + name, work.file(name));
  ASSERT_TRUE(write_file(work.file("DEMO.CUE"), kDemoCue));
  ASSERT_TRUE(write_bus_file(work.file("bus.ini"), {{"0:4", {{"cassette", "demo.tape"}}}}));
  ProcessOptions options = bus_options(work.file("bus.ini"));
  options.env.push_back("KESTREL_CLOCK=simulated");
  options.env.push_back("LD_LIBRARY_PATH=");
  options.env.push_back("LD_DEBUG=files");  // the loader says on standard error where each library came from
  options.cwd = work.path();
  std::string kestrel = prefix + "/bin/kestrel";

  ProcessResult record = run_process(kestrel, {"/GOSHAWK", "DEMO", "/OUTPUTID", "0:4", "/REWIND"}, options);
  ASSERT_EQ(record.exit_code, 0) << record.out;
  EXPECT_NE(record.out.find("File: demo_strings.wav\n"), std::string::npos) << record.out;
  EXPECT_NE(record.out.find("File: mono_22k.mp3\n"), std::string::npos);
  EXPECT_EQ(record.out.find("Cannot find cue file"), std::string::npos);
  for (const char* library : {"/lib/kestrel/libthistle.so", "/lib/kestrel/libsorrel.so", "/lib/kestrel/libwnaspi32.so"})
    EXPECT_NE(record.err.find(prefix + "/bin/.." + library), std::string::npos)
        << library << " not loaded from the installed tree:\n" << record.err.substr(0, 3000);
  EXPECT_EQ(record.err.find(std::string(KESTREL_BUILD_DIR) + "/lib"), std::string::npos);

  ProcessResult extract =
      run_process(kestrel, {"/KESTREL", "TAPE", "/INPUTID", "0:4", "/REWIND", "/STARTID"}, options);
  ASSERT_EQ(extract.exit_code, 0) << extract.out;
  WavFile first = read_wav(work.file("TAPE001.wav"));
  WavFile second = read_wav(work.file("TAPE002.wav"));
  ASSERT_TRUE(first.valid);
  ASSERT_TRUE(second.valid);
  EXPECT_EQ(first.rate, 48000u);
  EXPECT_EQ(second.rate, 44100u) << "the 22.05 kHz MP3 is recorded at 44.1 kHz";
  // The 48 kHz 16-bit stereo source comes back bit for bit, with only the
  // silence of the lead-in and of its inter-track gap around it.
  std::string source = wav_audio(fixtures + "demo_strings.wav");
  size_t at = first.data.find(source);
  ASSERT_NE(at, std::string::npos) << "the first track is not there whole";
  EXPECT_EQ(first.data.find_first_not_of('\0'), at);
  EXPECT_EQ(first.data.find_first_not_of('\0', at + source.size()), std::string::npos);
  EXPECT_NE(second.data.find_first_not_of('\0'), std::string::npos) << "the second track sounds";
  EXPECT_FALSE(file_exists(work.file("TAPE003.wav")));
}

// The C header tests of thistle and sorrel, built as a program adopting the
// libraries is: with what pkg-config says for the tree under prefix (whose
// pkg-config files may name another prefix, as the package's say /usr), then
// run from another folder, loading the libraries of that tree. Each prints
// its library's version, which must be the pkg-config file's.
void expect_c_programs_build_with_pkg_config(const std::string& prefix) {
  TempDir work;
  ProcessOptions options;
  options.env.push_back("PKG_CONFIG_PATH=" + prefix + "/" KESTREL_PKGCONFIG_DIR);
  options.env.push_back("LD_LIBRARY_PATH=");
  options.cwd = work.path();
  const struct { const char* library; const char* source; } programs[] = {
      {"thistle", "/tests/wavlib/c_header_test.c"}, {"sorrel", "/tests/mp3lib/c_header_test.c"}};
  for (const auto& p : programs) {
    const std::string define = "--define-variable=prefix=" + prefix;
    ProcessResult flags = run_process(KESTREL_PKG_CONFIG, {define, "--cflags", "--libs", p.library}, options);
    ASSERT_EQ(flags.exit_code, 0) << flags.err;
    ProcessResult version = run_process(KESTREL_PKG_CONFIG, {"--modversion", p.library}, options);
    std::vector<std::string> args = {"-std=c11", "-pedantic-errors", "-D_POSIX_C_SOURCE=200809L",
                                     "-DKESTREL_SOURCE_DIR=\"" KESTREL_SOURCE_DIR "\"",
                                     std::string(KESTREL_SOURCE_DIR) + p.source, "-o", work.file(p.library)};
    std::istringstream words(KESTREL_C_SANITIZE " " + flags.out);
    for (std::string word; words >> word;) args.push_back(word);
    ProcessResult build = run_process(KESTREL_C_COMPILER, args, options);
    ASSERT_EQ(build.exit_code, 0) << flags.out << build.err;

    ProcessOptions run_options = options;
    run_options.env.push_back("LD_DEBUG=files");  // the loader says on standard error where each library came from
    ProcessResult run = run_process(work.file(p.library), {}, run_options);
    EXPECT_EQ(run.exit_code, 0) << run.err.substr(0, 3000);
    EXPECT_EQ(run.out, std::string(p.library) + " " + version.out);
    const std::string library = prefix + "/lib/kestrel/lib" + p.library + ".so.";
    EXPECT_NE(run.err.find(library), std::string::npos) << library << " not loaded:\n" << run.err.substr(0, 3000);
  }
}

TEST(Docs, EveryLinkOfTheReadmeAndTheDocPagesResolves) {
  LinkCheck docs = check_links(KESTREL_SOURCE_DIR);
  EXPECT_GT(docs.links, 50) << "the README and its pages link to each other";
  for (const std::string& link : docs.broken) ADD_FAILURE() << "links to nothing: " << link;
}

TEST(Install, InstalledKestrelRecordsAndReadsTheDemoFromAnotherFolder) {
  TempDir prefix;
  ProcessResult install = run_process(KESTREL_CMAKE_COMMAND, {"--install", KESTREL_BUILD_DIR, "--prefix", prefix.path()});
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
  expect_installed_files(prefix.path());
  expect_records_and_reads_the_demo(prefix.path());
  expect_c_programs_build_with_pkg_config(prefix.path());
}

// scripts/release-check unpacks the packages (kestrel and kestrel-dev) with
// dpkg-deb -x into the folder KESTREL_PACKAGE_ROOT names and runs this.
TEST(Package, UnpackedPackageRecordsAndReadsTheDemo) {
  const char* root = std::getenv("KESTREL_PACKAGE_ROOT");
  if (!root || !*root) GTEST_SKIP() << "run by scripts/release-check on the unpacked package";
  expect_installed_files(std::string(root) + "/usr");
  expect_records_and_reads_the_demo(std::string(root) + "/usr");
  expect_c_programs_build_with_pkg_config(std::string(root) + "/usr");
}

// The packages scripts/setup asks apt-get for on a machine that has none, in
// the given form: dpkg-query, apt-get and sudo stand-ins come first in PATH,
// and apt-get notes its arguments.
std::set<std::string> packages_set_up(const std::vector<std::string>& args) {
  TempDir fake;
  const std::string log = fake.file("apt-get.log");
  const std::pair<const char*, std::string> tools[] = {
      {"dpkg-query", "exit 1\n"},
      {"apt-get", "for a in \"$@\"; do echo \"$a\"; done >>'" + log + "'\n"},
      {"sudo", "exec \"$@\"\n"},
  };
  // Never the machine's own apt-get: without every stand-in, nothing runs.
  for (const auto& [tool, body] : tools) {
    if (!write_file(fake.file(tool), "#!/bin/sh\n" + body) || chmod(fake.file(tool).c_str(), 0755) != 0) {
      ADD_FAILURE() << "cannot make the stand-in " << tool;
      return {};
    }
  }
  ProcessOptions options;
  options.env = {"PATH=" + fake.path() + ":/usr/bin:/bin"};
  options.cwd = KESTREL_SOURCE_DIR;
  std::vector<std::string> all = {std::string(KESTREL_SOURCE_DIR) + "/scripts/setup"};
  all.insert(all.end(), args.begin(), args.end());
  ProcessResult r = run_process("/bin/bash", all, options);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  std::set<std::string> packages;
  std::istringstream words(read_file(log));
  for (std::string word; std::getline(words, word);)
    if (word != "install" && word[0] != '-') packages.insert(word);
  return packages;
}

// The demo installs what building and running kestrel takes, nothing that
// only the tests need; every other entry point installs both.
TEST(Setup, TheDemoInstallsOnlyWhatKestrelTakes) {
  const std::set<std::string> kestrel = {"build-essential", "cmake",        "pkg-config",  "g++",        "libmpg123-dev",
                                         "libasound2-dev",  "libsoxr-dev",  "libflac-dev", "libssl-dev",
                                         "nlohmann-json3-dev", "libebur128-dev"};
  const std::set<std::string> tests_only = {"chromium", "ffmpeg",       "lintian", "mediainfo", "libgtest-dev",
                                            "clang",    "libbenchmark-dev", "flac",  "sox", "sndfile-programs"};
  std::set<std::string> demo = packages_set_up({"--demo", "--no-build"});
  EXPECT_EQ(demo, kestrel);
  std::set<std::string> full = packages_set_up({"--no-build"});
  for (const std::string& p : kestrel) EXPECT_EQ(full.count(p), 1u) << p;
  for (const std::string& p : tests_only) EXPECT_EQ(full.count(p), 1u) << p;
}

}  // namespace
