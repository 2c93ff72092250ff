// SPDX-License-Identifier: MIT
#include "sources/image_frames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "datframe/frame_copy.h"
#include "datframe/image_records.h"
#include "platform/file_io.h"
#include "platform/same_file.h"
#include "report/transfer_report.h"
#include "scsi/aspi_call.h"

int open_image_frames(ImageFrames* image, const char* path) {
  *image = ImageFrames{};
  image->path = path;
  // Without blocking: a named pipe given by mistake is refused below instead
  // of waiting for a writer.
  errno = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    say_open_failure(path);
    return 1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    say_open_failure(path);
    close(fd);
    return 1;
  }
  if (S_ISDIR(info.st_mode) || !S_ISREG(info.st_mode)) {
    std::printf("%s is %s, not an image file\n", path, S_ISDIR(info.st_mode) ? "a folder" : "no regular file");
    close(fd);
    return 1;
  }
  uint64_t size = static_cast<uint64_t>(info.st_size);
  image->records = size / DAT_FRAME_BYTES;
  image->short_bytes = size % DAT_FRAME_BYTES;
  if (image->records == 0) {
    if (size == 0)
      std::printf("%s is empty: an image holds the frames of a tape, %d bytes each\n", path, DAT_FRAME_BYTES);
    else
      std::printf("%s holds %llu bytes, not one whole frame of %d bytes: not an image\n", path,
                  static_cast<unsigned long long>(size), DAT_FRAME_BYTES);
    close(fd);
    return 1;
  }
  image->file = fdopen(fd, "rb");
  if (!image->file) {
    say_open_failure(path);
    close(fd);
    return 1;
  }
  use_large_buffer(image->file);
  std::printf("Reading the frames of IMG file:%s (%llu frames)\n", path,
              static_cast<unsigned long long>(image->records));
  if (image->short_bytes)
    std::printf(" - %s ends in a short record of %llu bytes, less than a frame: it is ignored, and the run "
                "ends as failed\n",
                path, static_cast<unsigned long long>(image->short_bytes));
  return 0;
}

uint32_t read_image_frame(ImageFrames* image, DatFrame* frame) {
  if (!image->file || image->failed || image->next >= image->records) return ASPI_RESULT_END_OF_DATA;
  if (image_record_read(image->file, frame).outcome != IMAGE_RECORD_WHOLE) {
    // The file changed under the run or the disk failed: what was read stays,
    // the rest of the image is not there.
    say_read_failure(image->path);
    image->failed = true;
    return ASPI_RESULT_END_OF_DATA;
  }
  ++image->next;
  // The stand-in a dump kept for a frame no read could give is, as on the
  // tape, a frame that cannot be read.
  return frame_is_stand_in(frame) ? ASPI_RESULT_UNREADABLE : ASPI_RESULT_GOOD;
}

bool image_frames_incomplete(const ImageFrames* image) { return image->failed || image->short_bytes != 0; }

void close_image_frames(ImageFrames* image) {
  if (image->file) close_stream(image->file, close_file);
  image->file = nullptr;
}

namespace {

// Whether rest (what follows NAME) is a track number as the tracks are
// numbered ("%.3d" of 1 and up) followed by one of suffixes.
bool numbered_name(const std::string& rest, const std::vector<std::string>& suffixes) {
  size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  if (digits < 3 || (digits > 3 && rest[0] == '0') || rest.compare(0, digits, std::string(digits, '0')) == 0)
    return false;
  for (const std::string& suffix : suffixes)
    if (rest.compare(digits, std::string::npos, suffix) == 0) return true;
  return false;
}

// The first name the run writes that leads to the file image, or "".
std::string output_over(const FileIdentity& image, const ImageRunOutputs& outputs) {
  for (const std::string& name : outputs.named)
    if (is_same_file(image, name.c_str())) return name;
  if (outputs.numbered.empty()) return "";
  // Track files are numbered on as the run goes: those of the folder that
  // lie there already are the ones that can be the image.
  size_t slash = outputs.base.rfind('/');
  std::string folder = slash == std::string::npos ? "." : outputs.base.substr(0, slash + 1);
  std::string prefix = slash == std::string::npos ? outputs.base : outputs.base.substr(slash + 1);
  DIR* dir = opendir(folder.c_str());
  if (!dir) return "";
  std::string found;
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0 || !numbered_name(name.substr(prefix.size()), outputs.numbered))
      continue;
    std::string path = outputs.base + name.substr(prefix.size());
    if (is_same_file(image, path.c_str())) {
      found = path;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

int check_image_run_outputs(const char* path, const ImageRunOutputs& given) {
  FileIdentity image;
  if (!file_identity(path, &image)) return 0;  // opening it says what is wrong
  ImageRunOutputs outputs = given;
  ReportNames report = transfer_report_names(given.report);
  if (!given.report.empty()) outputs.named.insert(outputs.named.end(), {report.json, report.html, report.sha256});
  std::string over = output_over(image, outputs);
  if (!over.empty()) {
    std::printf("%s would be written over the image being read (%s): nothing is written\n", over.c_str(), path);
    return 1;
  }
  if (!given.report.empty() && transfer_report_of_a_drive(report.json.c_str())) {
    std::printf("%s is the report of a reading of the tape in a drive, which a reading of the image does not "
                "replace: nothing is written; give the files another name\n",
                report.json.c_str());
    return 1;
  }
  return 0;
}
