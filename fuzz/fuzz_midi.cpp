// Fuzz target: the first byte picks a target (0 to 11), the rest is a file loaded as a MIDI
// file (named ".mid"). A failure says why and leaves nothing; what loads is a song of at most
// 50 units, each with its own woice and voice-no, 480 clocks a beat, every event in range and
// the list well formed; it is written as the target picked, and an x5x output loads again
// with every event.
#include <cstring>

#include "fuzz/fuzz_common.h"
#include "io/open_input.h"
#include "io/writer.h"
#include "project/targets.h"

namespace {

void check_loaded(const Project& p) {
  const int units = unit_count(p);
  FUZZ_CHECK(units <= PROJECT_UNIT_CAPACITY && fuzz::woice_count(p) == units);
  FUZZ_CHECK(leading_woice_count(p) == units);
  FUZZ_CHECK(p.beat_clock == 480 && p.beat_num >= 1 && p.beat_num <= 127);
  FUZZ_CHECK(p.meas_num >= 1 && p.repeat_meas == 0 && p.last_meas == 0);
  FUZZ_CHECK(fuzz::checked_event_count(p) == p.event_num);
  int voice_nos = 0;
  for (const Event& e : p.events) {
    FUZZ_CHECK(e.unit_no < units && e.clock >= 0);
    switch (e.kind) {
      case EVENT_ON:
        FUZZ_CHECK(e.value >= 1);
        break;
      case EVENT_KEY:
        FUZZ_CHECK(e.value >= 0 && e.value <= 0x7F00 && e.value % 256 == 0);
        break;
      case EVENT_VEL:
      case EVENT_VOL:
      case EVENT_PAN:
        FUZZ_CHECK(e.value >= 0 && e.value <= 128);
        break;
      case EVENT_VOICE_NO:
        FUZZ_CHECK(e.clock == 0 && e.value == e.unit_no);
        ++voice_nos;
        break;
      default:
        FUZZ_CHECK(false);
    }
  }
  FUZZ_CHECK(voice_nos == units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = fuzz::scratch_folder() + "/input.mid";
  static const std::string again = fuzz::scratch_folder() + "/again.qxprj";
  if (size < 1) return 0;
  const uint8_t target = data[0] % 12;
  fuzz::put_file(input, data + 1, size - 1);

  Project p;
  fuzz::prepare(p);
  int tune_flag = 0;
  if (!open_input(p, input, &tune_flag)) {
    FUZZ_CHECK(!p.report_text.empty() && p.report_text.size() <= 31);
    FUZZ_CHECK(p.events.empty() && fuzz::woice_count(p) == 0 && unit_count(p) == 0);
    return 0;
  }
  FUZZ_CHECK(tune_flag == 0);
  check_loaded(p);
  fuzz::MemOut out;
  fuzz::MemOut listing;
  const int written = write_output_streams(p, p, out.file(), listing.file(), target);
  FUZZ_CHECK(written || p.error_text[0] != '\0');
  if (!written || target < TARGET_X5X_NO_OGG || target > TARGET_X5X_NEW_NOISE) return 0;
  const std::vector<uint8_t> bytes = out.bytes();
  fuzz::put_file(again, bytes.data(), bytes.size());
  Project q;
  fuzz::prepare(q);
  FUZZ_CHECK(open_input(q, again, &tune_flag));
  FUZZ_CHECK(fuzz::checked_event_count(q) == p.event_num && unit_count(q) == unit_count(p));
  return 0;
}
