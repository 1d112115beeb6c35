// Fuzz target: a "mateQXN " chunk after its tag (either layout flag, either body version),
// read from memory as a song's chunk loop reads it, then written for every target: in the
// old layout for 3 to 8, the new one for 9, rendered to PCM for 1 and 2. A body that reads
// must write, read back with the same units, and render to exactly its length, at most
// 480000 frames.
#include <cstring>

#include "fuzz/fuzz_common.h"
#include "io/downgrade.h"
#include "io/material_chunks.h"
#include "io/material_writer.h"
#include "synth/noise_render.h"

namespace {

constexpr size_t PCM_DATA_SIZE_AT = 4 + 20;  // after the chunk size: the header's data size

NoiseDesign* read_chunk(Project& p, const std::vector<uint8_t>& chunk) {
  fuzz::prepare(p);
  ByteSource s = fuzz::memory(chunk);
  int new_format = 0;
  const int ok = read_qxnoise_chunk(p, s, &new_format);
  FUZZ_CHECK(fuzz::woice_count(p) == (ok ? 1 : 0));
  if (!ok) return nullptr;
  FUZZ_CHECK(new_format == 0);
  Woice& w = *p.woices[0];
  FUZZ_CHECK(w.type == WOICE_QXNOISE && w.voices.size() == 1 && w.voices[0].noise);
  NoiseDesign& d = *w.voices[0].noise;
  FUZZ_CHECK(d.unit_num >= 0 && d.unit_num <= 4 &&
             static_cast<size_t>(d.unit_num) == d.units.size());
  for (const NoiseUnit& u : d.units) {
    FUZZ_CHECK(u.env_num >= 0 && u.env_num <= 3 &&
               static_cast<size_t>(u.env_num) == u.env_points.size());
  }
  return &d;
}

std::vector<uint8_t> write_for(Project& p, int target, int* ok) {
  fuzz::MemOut out;
  TargetWoice tw;
  *ok = downgrade_woice(p, *p.woices[0], target, tw) &&
        write_woice(p, out.file(), tw, target <= 8, target, 0);
  return out.bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  // Target 2 renders as target 1 does: once is enough.
  for (int target : {1, 3, 8, 9}) {
    Project p;
    NoiseDesign* d = read_chunk(p, input);
    if (!d) return 0;
    const int32_t units = d->unit_num;
    const int32_t frames = d->sample_num;
    int ok = 0;
    const std::vector<uint8_t> out = write_for(p, target, &ok);
    if (target == 1) {
      // Only a negative length has nothing to render.
      FUZZ_CHECK(ok == (frames >= 0 ? 1 : 0));
      if (!ok) continue;
      const std::vector<uint8_t> chunk = fuzz::written_chunk(out, "matePCM=");
      ByteSource s = fuzz::memory(chunk);
      uint32_t data_size = 0;
      FUZZ_CHECK(source_seek(s, PCM_DATA_SIZE_AT, SEEK_SET) && read_u32(s, &data_size));
      const int64_t expected = std::min<int64_t>(frames, NOISE_SAMPLE_NUM_MAX) * 4;
      FUZZ_CHECK(data_size == expected && chunk.size() == PCM_DATA_SIZE_AT + 4 + expected);
      continue;
    }
    FUZZ_CHECK(ok);
    Project q;
    NoiseDesign* again = read_chunk(q, fuzz::written_chunk(out, "mateQXN "));
    FUZZ_CHECK(again != nullptr && again->unit_num == units && again->sample_num == frames);
    if (target <= 8) {
      // The old layout knows only the first seven waveforms.
      for (const NoiseUnit& u : again->units) {
        for (const NoiseOsc* o : {&u.osc_main, &u.osc_freq, &u.osc_volu}) {
          FUZZ_CHECK(o->waveform >= 0 && o->waveform <= 6);
        }
      }
    }
    int ok_again = 0;
    FUZZ_CHECK(write_for(q, target, &ok_again) == out && ok_again);
  }
  return 0;
}
