// SPDX-License-Identifier: MIT
/* thistle's header compiled as C, under its installed name: a file written and
   read back through the handles. Prints the library's version; exit status 0
   when all is well. Also built against an installed tree (Install.*). */
#include <thistle.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void) {
  char folder[] = "/tmp/thistle_c_XXXXXX";
  if (mkdtemp(folder) == NULL) return 1;
  char path[64];
  snprintf(path, sizeof path, "%s/c.wav", folder);
  int failures = 0;

  int32_t status = -1;
  if (thistle_create(path, 96000, &status) != NULL || status != THISTLE_BAD_RATE ||
      access(path, F_OK) == 0 || strstr(thistle_status_text(status), "sampling rate") == NULL)
    failures++;
  ThistleWriter* writer = thistle_create(path, 44100, &status);
  const unsigned char audio[6] = {1, 2, 3, 4, 5, 6};
  if (writer == NULL || status != THISTLE_OK) failures++;
  if (thistle_write(writer, audio, sizeof audio) != (int32_t)sizeof audio) failures++;
  ThistleFinish done;
  if (thistle_finish(writer, &done) != 0 || done.data_bytes != 4 || done.failed != 0) failures++;

  ThistleReader* reader = thistle_open_reader(path, &status);
  unsigned char back[8] = {0};
  if (reader == NULL || thistle_read(reader, back, sizeof back) != 4 || memcmp(back, audio, 4) != 0)
    failures++;
  thistle_close_reader(reader);
  int32_t channels = 0, rate = 0, figure = 0;
  if (ReadWAVSampleRate(path, &channels, &rate, &figure) != 1 || rate != 44100) failures++;

  unlink(path);
  rmdir(folder);
  printf("thistle %s\n", thistle_version());
  if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures != 0;
}
