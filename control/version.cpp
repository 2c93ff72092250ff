// SPDX-License-Identifier: MIT
#include "control/version.h"

#include <alsa/global.h>
#include <dlfcn.h>
#include <mpg123.h>
#include <soxr.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

typedef const char* (*Mpg123DistVersionFn)(unsigned*, unsigned*, unsigned*);

// libmpg123 says its release only from 1.32 on; before that the file the
// loader took it from (its name carries the interface version) says the most.
void print_mpg123(void) {
  auto dist = reinterpret_cast<Mpg123DistVersionFn>(dlsym(RTLD_DEFAULT, "mpg123_distversion"));
  if (dist) {
    unsigned major = 0, minor = 0, patch = 0;
    const char* text = dist(&major, &minor, &patch);
    std::printf("libmpg123 %s\n", text ? text : "(no version)");
    return;
  }
  Dl_info info = {};
  void* symbol = dlsym(RTLD_DEFAULT, "mpg123_init");
  const char* file = "not loaded";
  char resolved[PATH_MAX];
  if (symbol && dladdr(symbol, &info) && info.dli_fname) {
    file = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
  }
  std::printf("libmpg123 API %d (%s)\n", MPG123_API_VERSION, file);
}

}  // namespace

void print_versions(void) {
  std::printf("kestrel %s\n", KESTREL_VERSION);
  print_mpg123();
  const char* soxr = soxr_version();
  if (soxr && std::strncmp(soxr, "libsoxr-", 8) == 0) soxr += 8;
  std::printf("libsoxr %s\n", soxr ? soxr : "(no version)");
  std::printf("ALSA library %s\n", snd_asoundlib_version());
}
