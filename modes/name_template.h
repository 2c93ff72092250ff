// SPDX-License-Identifier: MIT
// File names from a template the verbs' --name-template gives, in place of
// NAME001, NAME002, ...: %n the name given, %f the file's number (001),
// %p its program number (001; 000 when its first frame carries none), %d
// the recording date and %t its time of day from the first frame's date pack
// (2024-03-09, 142501; "nodate" and "notime" when it has none), %a the
// absolute time of its first frame (00-12-04-17; "notime" when none), %% a
// percent sign. The audio file and its log take the name with their suffix.
#pragma once

#include <string>

#include "datframe/frame_info.h"

// What is wrong with a template, "" when nothing is: a field it does not
// know, a name that no field tells from file to file.
std::string name_template_fault(const char* name_template);
// Whether names from the template are told apart by the file number alone:
// else each is checked against those given before, as its file opens.
bool name_template_numbered(const char* name_template);
// The name of file number file, whose first frame is first (no suffix).
std::string name_from_template(const char* name_template, const char* name, int file, const FrameInfo& first);

// The template of the run, set by the verbs' front end before the mode runs
// (nullptr: the names NAME001, NAME002, ...).
void run_name_template_set(const char* name_template);
const char* run_name_template(void);
