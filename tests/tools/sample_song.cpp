// Writes the song the Windows program is tested with: the example song with two woices of
// real Ogg Vorbis streams added (a stereo chord with noise at 44100 Hz, a mono tone at
// 22050 Hz), so that each build's decoder meets many samples.
//   tarvenox_sample_song EXAMPLE.qxprj OUT.qxprj
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/convert.h"
#include "app/output.h"
#include "io/open_input.h"
#include "io/writer.h"
#include "project/project.h"
#include "tests/ogg_encode.h"

namespace {

bool add_ogg_woice(Project& p, const std::vector<uint8_t>& stream, int32_t basic_key) {
  Woice* w = woice_add(p);
  if (!w || stream.empty() || !woice_alloc_voices(p, *w, 1) ||
      !voice_init(w->voices[0], WAVE_OGG)) {
    return false;
  }
  w->type = WOICE_OGG;
  Voice& v = w->voices[0];
  v.basic_key = basic_key;
  v.ogg->size = static_cast<int32_t>(stream.size());
  v.ogg->data = stream;
  return true;
}

// A chord on two channels with a little of a fixed noise, for samples of every size.
float chord(int channel, int frame) {
  static uint32_t state = 12345;
  state = state * 1103515245u + 12345u;
  const float noise = static_cast<float>((state >> 16) & 0x7FFF) / 32768.0f - 0.5f;
  const float t = static_cast<float>(frame) / 44100.0f;
  const float f = channel == 0 ? 220.0f : 330.0f;
  return 0.3f * std::sin(6.2831853f * f * t) + 0.2f * std::sin(6.2831853f * 2.5f * f * t) +
         0.1f * noise;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tarvenox_sample_song EXAMPLE.qxprj OUT.qxprj\n");
    return 2;
  }
  Project p;
  const char* failure = nullptr;
  int tune_flag = 0;
  if (!project_prepare(p, &failure) || !open_input(p, argv[1], &tune_flag)) {
    std::fprintf(stderr, "tarvenox_sample_song: cannot read %s\n", argv[1]);
    return 1;
  }
  const auto tone = [](int, int i) { return 0.6f * std::sin(static_cast<float>(i) * 0.031f); };
  if (!add_ogg_woice(p, ogg_encode::encode_stream(2, 44100, 44100, chord), 0x4500) ||
      !add_ogg_woice(p, ogg_encode::encode_stream(1, 22050, 11025, tone), 0x3C00) ||
      !write_output(p, p, argv[2], TARGET_X5X_NEW_NOISE)) {
    std::fprintf(stderr, "tarvenox_sample_song: cannot write %s: %s\n", argv[2], p.error_text);
    return 1;
  }
  return 0;
}
