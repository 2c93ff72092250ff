// Stand-in until the WAV module is built: nothing is read or written.
#include "wavlib/thistle.h"

int32_t init_wav_decode(const char*) { return 1; }
int32_t do_wav_decode(void*, uint32_t) { return 0; }
int32_t close_wav_decode(void) { return 1; }
int32_t ReadWAVSampleRate(const char*, int32_t*, int32_t*, int32_t*) { return 0; }
FILE* openWavEncode(const char*) { return nullptr; }
int32_t outputHeaderWavEncode(FILE*, uint32_t, int32_t) { return 0; }
int32_t outputWavEncode(const void*, int32_t, FILE*) { return 0; }
int32_t closeWavEncode(FILE*) { return -1; }
int32_t ReadWAVSourceFormat(const char*, WavSourceFormat*) { return 0; }
