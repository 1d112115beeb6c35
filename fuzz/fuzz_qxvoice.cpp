// Fuzz target: a "mateQXV " chunk after its tag, read from memory as a song's chunk loop
// reads it, then written for every target: kept as a qxVoice body for 2 to 9, rendered to
// PCM for 1. A body that reads must write for every target that keeps it, read back with
// the same voices, and (for the targets that change nothing) write back byte for byte.
#include <cstring>

#include "fuzz/fuzz_common.h"
#include "io/downgrade.h"
#include "io/material_chunks.h"
#include "io/material_writer.h"

namespace {

// Reads the chunk into a fresh Project; the Woice, or nullptr when it does not read.
Woice* read_chunk(Project& p, const std::vector<uint8_t>& chunk) {
  fuzz::prepare(p);
  ByteSource s = fuzz::memory(chunk);
  int new_format = 0;
  const int ok = read_qxvoice_chunk(p, s, &new_format);
  FUZZ_CHECK(fuzz::woice_count(p) == (ok ? 1 : 0));
  if (!ok) return nullptr;
  FUZZ_CHECK(new_format == 0);
  Woice* w = p.woices[0].get();
  FUZZ_CHECK(w->type == WOICE_QXVOICE);
  FUZZ_CHECK(w->voice_num >= 0 && static_cast<size_t>(w->voice_num) == w->voices.size());
  for (const Voice& v : w->voices) {
    FUZZ_CHECK(v.point_num >= 0 && static_cast<size_t>(v.point_num) == v.points.size());
  }
  return w;
}

std::vector<uint8_t> write_for(Project& p, Woice& w, int target, int* ok) {
  fuzz::MemOut out;
  TargetWoice tw;
  *ok = downgrade_woice(p, w, target, tw) && write_woice(p, out.file(), tw, target <= 8, target, 0);
  return out.bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  for (int target = 1; target <= 9; ++target) {
    Project p;
    Woice* w = read_chunk(p, input);
    if (!w) return 0;
    const int voices = w->voice_num;
    int ok = 0;
    const std::vector<uint8_t> out = write_for(p, *w, target, &ok);
    if (!ok) {
      // Only the conversions may refuse a body that read: the render and the analysis
      // of a wave for the oldest layout.
      FUZZ_CHECK(target <= 2);
      FUZZ_CHECK(p.error_text[0] != '\0');
      continue;
    }
    if (target == 1) {
      fuzz::written_chunk(out, "matePCM=");
      continue;
    }
    const std::vector<uint8_t> chunk = fuzz::written_chunk(out, "mateQXV ");
    Project q;
    Woice* again = read_chunk(q, chunk);
    FUZZ_CHECK(again != nullptr);
    FUZZ_CHECK(again->voice_num == voices);
    if (target >= 4) {
      int ok_again = 0;
      FUZZ_CHECK(write_for(q, *again, target, &ok_again) == out);
      FUZZ_CHECK(ok_again);
    }
  }
  return 0;
}
