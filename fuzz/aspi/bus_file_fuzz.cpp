// SPDX-License-Identifier: MIT
// The virtual drives' bus file: any text as a bus file, then every command
// the drives know sent to every drive it lists. The file lives in a private
// folder with a recorded cassette ("tape") that is put back for every input;
// a '/' in the input becomes '_', so the drives open no file outside it.
// The provider's warnings about the file go to /dev/null meanwhile (the
// sanitizers report on a copy of standard error).
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aspi/virtual_bus.h"
#include "datframe/dat_frame.h"
#include "fuzz/support/input_file.h"

namespace {

struct Folder {
  std::string path;
  int null_fd = -1;
  int stderr_copy = -1;
};

const Folder& folder() {
  static const Folder made = [] {
    Folder f;
    f.path = private_folder("bus");
    f.null_fd = open("/dev/null", O_WRONLY);
    f.stderr_copy = dup(2);
    if (f.null_fd < 0 || f.stderr_copy < 0) std::abort();
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(f.stderr_copy)));
    return f;
  }();
  return made;
}

void write_whole(const std::string& path, const void* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) std::abort();
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
}

// Removes what the last input's drives made (files named by the input).
void clear_folder(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) std::abort();
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      unlink((path + "/" + e->d_name).c_str());
  }
  closedir(d);
}

// A cassette of three frames whose subcode a LOCATE can find.
void put_cassette(const std::string& path) {
  DatFrame frames[3];
  std::memset(frames, 0, sizeof frames);
  for (int i = 0; i < 3; ++i) {
    frames[i].pack[0][0] = 0x10;  // program time
    frames[i].pack[1][0] = 0x20;  // absolute time
    frames[i].pack[1][6] = static_cast<uint8_t>(i);
    frames[i].sid_pno1 = 0x02;
    frames[i].sid_pno23 = static_cast<uint8_t>(i + 1);
  }
  write_whole(path, frames, sizeof frames);
}

uint8_t execute(VirtualBus* bus, const VirtualDrive& d, std::vector<uint8_t> cdb, void* data, uint32_t length,
                bool out) {
  AspiExecRequest b{};
  b.command = ASPI_CMD_EXEC_SCSI;
  b.adapter = d.adapter;
  b.target = d.target;
  b.flags = out ? ASPI_FLAG_DATA_OUT : ASPI_FLAG_DATA_IN;
  b.data = data;
  b.data_length = length;
  b.sense_length = ASPI_SENSE_LENGTH;
  b.cdb_length = static_cast<uint8_t>(cdb.size());
  std::memcpy(b.cdb, cdb.data(), cdb.size());
  vbus_execute(bus, &b);
  // Answered, well or not; cut off by a bus reset; or no answer at all (a
  // drive that stopped answering leaves the request pending).
  if (b.status != ASPI_STATUS_COMPLETED && b.status != ASPI_STATUS_ERROR && b.status != ASPI_STATUS_ABORTED &&
      b.status != ASPI_STATUS_PENDING)
    std::abort();
  return b.status;
}

void exercise(VirtualBus* bus, const VirtualDrive& d) {
  DatFrame frame;
  std::memset(&frame, 0, sizeof frame);
  uint8_t data[256] = {};
  const uint8_t select_audio[12] = {0, 0, 0x10, 8, 0x80, 0, 0, 0, 0, 0, 0, 2};
  std::memcpy(data, select_audio, sizeof select_audio);
  execute(bus, d, {0x12, 0, 0, 0, 36, 0}, data, 36, false);             // INQUIRY
  execute(bus, d, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, false);            // TEST UNIT READY
  execute(bus, d, {0x15, 0x10, 0, 0, 12, 0}, data, 12, true);           // MODE SELECT: audio
  execute(bus, d, {0x1A, 0, 0x3F, 0, 100, 0}, data, 100, false);        // MODE SENSE, all pages
  execute(bus, d, {0x1B, 0, 0, 0, 1, 0}, nullptr, 0, false);            // LOAD
  for (int i = 0; i < 3; ++i) execute(bus, d, {0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false);
  execute(bus, d, {0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0}, data, 20, false);  // READ POSITION
  execute(bus, d, {0x2B, 0x05, 0, 0x00, 0, 0, 2, 0, 0, 0}, nullptr, 0, false);  // LOCATE program 2, immediate
  for (int i = 0; i < 3; ++i) {
    execute(bus, d, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, false);
    execute(bus, d, {0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0}, data, 20, false);
  }
  execute(bus, d, {0x2B, 0x04, 0, 0x20, 0, 0, 0, 1, 0, 0}, nullptr, 0, false);  // LOCATE absolute time
  for (int i = 0; i < 2; ++i) execute(bus, d, {0x0A, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, true);
  execute(bus, d, {0x01, 0, 0, 0, 0, 0}, nullptr, 0, false);  // REWIND
  execute(bus, d, {0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false);
  execute(bus, d, {0x2B, 0x00, 0, 0, 0, 0, 1, 0, 0, 0}, nullptr, 0, false);    // LOCATE block 1
  execute(bus, d, {0x1B, 0, 0, 0, 0, 0}, nullptr, 0, false);                    // UNLOAD
  execute(bus, d, {0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, 10, false);          // unknown command
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Folder& f = folder();
  std::string text(reinterpret_cast<const char*>(data), size);
  for (char& c : text)
    if (c == '/') c = '_';
  clear_folder(f.path);
  std::string bus_path = f.path + "/bus.ini";
  write_whole(bus_path, text.data(), text.size());
  put_cassette(f.path + "/tape");

  dup2(f.null_fd, 2);
  VirtualBus bus;
  if (vbus_load(bus_path.c_str(), &bus) != 0) std::abort();
  bus.interrupt_at = 0;  // no SIGINT inside the fuzzer; the count itself is tested elsewhere
  int highest = -1;
  for (const VirtualDrive& d : bus.drives) highest = std::max(highest, static_cast<int>(d.adapter));
  if (bus.adapter_count != highest + 1) std::abort();
  for (const VirtualDrive& d : bus.drives) exercise(&bus, d);
  vbus_close(&bus);
  dup2(f.stderr_copy, 2);

  struct stat st;
  if (stat((f.path + "/tape").c_str(), &st) == 0 && st.st_size % DAT_FRAME_BYTES != 0) std::abort();
  return 0;
}
