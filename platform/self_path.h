// SPDX-License-Identifier: MIT
// Where the running program lives.
#pragma once

#include <string>

// The full path of the running program, or an empty string when it cannot be found.
std::string platform_program_path(void);
// The folder of the running program, without a trailing slash.
std::string platform_program_dir(void);
