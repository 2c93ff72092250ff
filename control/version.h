// SPDX-License-Identifier: MIT
// What kestrel is and what it runs with: its version and the versions of the
// audio libraries the dynamic loader gave it.
#pragma once

// KESTREL_VERSION, the version text, comes from the build (CMakeLists.txt).

// "kestrel 1.3b", then one line each for libmpg123, libsoxr and ALSA.
void print_versions(void);
