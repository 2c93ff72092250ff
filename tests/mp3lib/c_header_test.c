// SPDX-License-Identifier: MIT
/* sorrel's header compiled as C, under its installed name: a fixture found and
   decoded through a handle. Prints the library's version; exit status 0 when
   all is well. Also built against an installed tree (Install.*). */
#include <sorrel.h>

#include <stdio.h>
#include <string.h>

int main(void) {
  const char* path = KESTREL_SOURCE_DIR "/tests/fixtures/mono_22k.mp3";
  int failures = 0;
  MpegHeaderInfo info;
  if (ReadMP3SampleRate(path, &info, 131072) != 1 || info.samplerate != 22050 || info.channels != 1)
    failures++;
  SorrelError error;
  SorrelDecoder* decoder = sorrel_open(path, 10000, &error);
  static unsigned char buffer[5760 + 9999];
  long total = 0;
  int32_t got = 0;
  while (decoder != NULL && (got = sorrel_decode(decoder, buffer, 5760, &error)) == 5760) total += got;
  total += got;
  sorrel_close(decoder);
  /* Two seconds of 16-bit mono at 22050 Hz, give or take a frame. */
  if (error.step != SORREL_OK || total < 80000 || total > 96000) failures++;
  if (sorrel_open(KESTREL_SOURCE_DIR "/no/such.mp3", 10000, &error) != NULL || error.step != SORREL_CANNOT_OPEN ||
      strcmp(sorrel_status_text(error.step), "the file cannot be opened") != 0)
    failures++;
  printf("sorrel %s\n", sorrel_version());
  if (failures != 0) fprintf(stderr, "%d checks failed (%ld bytes)\n", failures, total);
  return failures != 0;
}
