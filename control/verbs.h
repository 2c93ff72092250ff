// SPDX-License-Identifier: MIT
// The verbs' front end: kestrel VERB [options] [names], GNU-style options
// beside the slash switches. Each option stands for a slash switch; the run
// is the one the slash form gives.
#pragma once

// Whether word is one of the verbs (read, toc, dump, restore, copy, record,
// play, drives, merge).
bool is_verb(const char* word);

// The run of a mode from switches made by the front end (the set-up of the
// console around run_kestrel_as with FORM_VERB).
typedef int (*SwitchRun)(int argc, char** argv);

// kestrel VERB ...: argv[1] is the verb. Checks the options (one line and
// exit code 2 for what is wrong), answers --help, runs drives and merge as
// the sibling programs and the modes through run. Returns the exit code.
int run_verb(int argc, char** argv, SwitchRun run);

// kestrel --show-config: the defaults in force and where each came from.
// Returns the exit code (2 when a config file or KESTREL_DRIVE holds a wrong value).
int show_config(void);

// The verbs, one line each, for the program's --help.
void print_verbs(void);
