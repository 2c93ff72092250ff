// SPDX-License-Identifier: MIT
// Memory that runs out. C++ containers throw std::bad_alloc, which the run
// sequence catches; what cannot throw (a C export, a failed dlopen, a command
// the provider had no memory for) records it here instead, and the run ends
// the same way: "Out of memory", the drives torn down, exit code 8.
#pragma once

#include <cstddef>

// Records that memory ran out; the run is to end.
void memory_ran_out(void);
// 1 once memory has run out in this run.
int memory_has_run_out(void);
// 1 when `bytes` more of address space can be had at this moment (a
// mapping of that size is made and given back at once), else 0. For the
// calls into a library that does not survive a failed allocation.
int memory_headroom(size_t bytes);
