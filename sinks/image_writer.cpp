#include "sinks/image_writer.h"

#include <unistd.h>

#include <cerrno>

#include "datframe/image_records.h"
#include "sinks/valid_files.h"

int image_writer_create(ImageWriter* image, const char* name) {
  *image = ImageWriter{};
  FILE* file = std::fopen(name, "w+b");
  if (!file) {
    say_open_failure(name);
    return 1;
  }
  use_large_buffer(file);
  abrupt_exit_keep_valid(file, ABRUPT_EXIT_IMAGE);
  image->file = file;
  image->name = name;
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
