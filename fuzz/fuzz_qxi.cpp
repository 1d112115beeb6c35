// Fuzz target: the first byte picks a target (0 to 11), the rest is a file loaded as an
// instrument file (any bytes that are not a song are one). What loads has the six units and
// built-in woices and a well-formed event list, and is written as the target picked; written
// back as an instrument file it loads again with every note. (The bytes may change from pass to
// pass: waits go out before the events then dropped, and a repeat point only where an event
// stands.)
#include <cstring>

#include "fuzz/fuzz_common.h"
#include "io/open_input.h"
#include "io/writer.h"

namespace {

// The instrument file a loaded Project gives (empty when the write fails).
std::vector<uint8_t> write_qxi(Project& p) {
  fuzz::MemOut out;
  if (!write_output_streams(p, p, out.file(), nullptr, TARGET_QXI)) return {};
  return out.bytes();
}

int note_count(const Project& p) {
  int n = 0;
  for (const Event& e : p.events) n += e.kind == EVENT_ON ? 1 : 0;
  return n;
}

void check_loaded(const Project& p) {
  FUZZ_CHECK(fuzz::woice_count(p) == 6 && unit_count(p) == 6);
  FUZZ_CHECK(p.event_num <= p.event_max);
  FUZZ_CHECK(fuzz::checked_event_count(p) <= p.event_num);
  FUZZ_CHECK(p.meas_num >= 1 && p.repeat_meas >= 0 && p.last_meas <= p.meas_num);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = fuzz::scratch_folder() + "/input.qxi";
  static const std::string again = fuzz::scratch_folder() + "/again.qxi";
  if (size < 1) return 0;
  const uint8_t target = data[0] % 12;
  fuzz::put_file(input, data + 1, size - 1);
  // A song magic goes to the song reader; fuzz_convert covers that road.
  if (size - 1 >= 5 &&
      (std::memcmp(data + 1, "QXMOS", 5) == 0 || std::memcmp(data + 1, "QXTUN", 5) == 0)) {
    return 0;
  }

  Project p;
  fuzz::prepare(p);
  int tune_flag = 0;
  if (!open_input(p, input, &tune_flag)) {
    FUZZ_CHECK(!p.report_text.empty());
    return 0;
  }
  FUZZ_CHECK(tune_flag == 0);
  check_loaded(p);
  {
    fuzz::MemOut out;
    fuzz::MemOut listing;
    write_output_streams(p, p, out.file(), listing.file(), target);
  }
  const std::vector<uint8_t> written = write_qxi(p);
  FUZZ_CHECK(!written.empty());
  fuzz::put_file(again, written.data(), written.size());
  Project q;
  fuzz::prepare(q);
  // Even a file of no records loads again, as a song of no events.
  FUZZ_CHECK(open_input(q, again, &tune_flag));
  check_loaded(q);
  FUZZ_CHECK(note_count(q) == note_count(p));
  FUZZ_CHECK(!write_qxi(q).empty());
  return 0;
}
