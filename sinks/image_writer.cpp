// SPDX-License-Identifier: MIT
#include "sinks/image_writer.h"

#include <unistd.h>

#include <cerrno>

#include "datframe/image_records.h"
#include "sinks/valid_files.h"

namespace {

// Opens the image at name in mode; from records on, whatever it holds is cut
// off and the records written go there (0: a new image). 0, or 1 after saying why not.
int open_image(ImageWriter* image, const char* name, const char* mode, uint64_t records) {
  *image = ImageWriter{};
  FILE* file = std::fopen(name, mode);
  if (!file) {
    say_open_failure(name);
    return 1;
  }
  off_t size = static_cast<off_t>(records * DAT_FRAME_BYTES);
  if (records > 0 && (ftruncate(fileno(file), size) != 0 || fseeko(file, size, SEEK_SET) != 0)) {
    say_write_failure(name);
    std::fclose(file);
    return 1;
  }
  use_large_buffer(file);
  abrupt_exit_keep_valid(file, ABRUPT_EXIT_IMAGE);
  image->file = file;
  image->name = name;
  return 0;
}

}  // namespace

int image_writer_create(ImageWriter* image, const char* name) { return open_image(image, name, "w+b", 0); }

int image_writer_resume(ImageWriter* image, const char* name, uint64_t records) {
  return open_image(image, name, "r+b", records);
}

int image_writer_sync(ImageWriter* image) {
  errno = 0;
  if (image->failed) return -1;
  // A pipe or a character device (an image sent elsewhere as it is made) has nothing to put on a disk.
  if (std::fflush(image->file) != 0 || (fsync(fileno(image->file)) != 0 && errno != EINVAL)) {
    say_write_failure(image->name);
    image->failed = true;
    return -1;
  }
  return 0;
}

int image_writer_put(ImageWriter* image, const DatFrame* frame) {
  if (!image_record_write(image->file, frame)) {
    say_write_failure(image->name);
    image->failed = true;
    return -1;
  }
  return 0;
}

int image_writer_finish(ImageWriter* image) {
  FILE* file = image->file;
  image->file = nullptr;
  errno = 0;
  if (!image->failed && std::fflush(file) != 0) {
    say_write_failure(image->name);
    image->failed = true;
  }
  if (image->failed) {
    // Only whole records stay in the image.
    long long size = written_size_after_failure(file);
    if (size < 0 || ftruncate(fileno(file), size / DAT_FRAME_BYTES * DAT_FRAME_BYTES) != 0)
      say_write_failure(image->name);
    close_stream(file, close_file);
    return 1;
  }
  return output_file_close(file, image->name) != 0 ? 1 : 0;
}
