// Fuzz target: the first byte picks a song target (1 to 9), the rest is an input file. A
// file that loads and converts must load again from what was written; for the targets that
// keep every event kind (7 to 9), with as many events as the first load had.
#include <cstring>

#include "app/output.h"
#include "fuzz/fuzz_common.h"
#include "io/open_input.h"
#include "io/qxi_reader.h"
#include "io/writer.h"
#include "platform/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = fuzz::scratch_folder() + "/round.qxprj";
  static const std::string output = fuzz::scratch_folder() + "/round-out.qxprj";
  if (size < 1) return 0;
  const uint8_t target = static_cast<uint8_t>(data[0] % 9 + 1);
  fuzz::put_file(input, data + 1, size - 1);

  Project p;
  fuzz::prepare(p);
  int tune_flag = 0;
  if (!open_input(p, input, &tune_flag)) return 0;
  const int events = fuzz::checked_event_count(p);
  bool tune = false;
  for (const char* magic :
       {"QXTUNE--20050608", "QXTUNE--20060115", "QXTUNE--20060930", "QXTUNE--20071119"}) {
    tune = tune || std::memcmp(p.file_magic, magic, 16) == 0;
  }
  delete_file(output);
  const int written = write_output(p, p, output, target);
  FUZZ_CHECK(written || p.error_text[0] != '\0');
  if (!written) {
    FUZZ_CHECK(!path_file_exists(output));
    return 0;
  }
  Project q;
  fuzz::prepare(q);
  int tune_again = 0;
  if (!open_input(q, output, &tune_again)) {
    std::fprintf(stderr, "target %d output does not load: %s\n", target, q.report_text.c_str());
    FUZZ_CHECK(false);
  }
  // Tunes have their clocks divided, which may merge events; songs keep every one.
  // An instrument file's units are told which woice they play: one event each.
  if (target >= TARGET_X5X_NO_OGG && !tune) {
    const int events_again = fuzz::checked_event_count(q);
    if (events_again != events + (p.instrument ? INSTRUMENT_UNIT_NUM : 0)) {
      std::fprintf(stderr, "target %d: %d events, %d after the round trip\n", target, events,
                   events_again);
      FUZZ_CHECK(false);
    }
  }
  return 0;
}
