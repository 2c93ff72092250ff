#include "modes/mode_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/console.h"
#include "wavlib/thistle.h"

namespace {
const long kWavHeaderBytes = 44;
const uint32_t kSamplePairBytes = 4;
}  // namespace

bool esc_pressed(void) { return console_key_waiting() && console_read_key() == CONSOLE_KEY_ESC; }

void report_write_failure(const char* name) {
  int error = errno;
  std::printf("\nwrite to %s failed: %s\n", name, error ? std::strerror(error) : "short write");
}

FILE* open_wav_file(const char* name, int32_t rate_code) {
  FILE* wav = openWavEncode(name);
  if (!wav) {
    std::printf("Cannot open %s\n", name);
    return nullptr;
  }
  std::setvbuf(wav, nullptr, _IONBF, 0);
  errno = 0;
  if (outputHeaderWavEncode(wav, 0, rate_code) != 1) {
    report_write_failure(name);
    closeWavEncode(wav);
    std::remove(name);  // not even a header: no valid file to leave
    return nullptr;
  }
  return wav;
}

int finish_wav_file(FILE* wav, const char* name, uint32_t data_bytes, int32_t rate_code) {
  int result = 0;
  data_bytes -= data_bytes % kSamplePairBytes;
  errno = 0;
  if (outputHeaderWavEncode(wav, data_bytes, rate_code) != 1 ||
      ftruncate(fileno(wav), kWavHeaderBytes + static_cast<off_t>(data_bytes)) != 0) {
    report_write_failure(name);
    result = -1;
  }
  if (closeWavEncode(wav) != 0) {
    report_write_failure(name);
    result = -1;
  }
  return result;
}

int close_output_file(FILE* file, const char* name) {
  errno = 0;
  bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0) failed = true;
  if (failed) {
    report_write_failure(name);
    return -1;
  }
  return 0;
}
