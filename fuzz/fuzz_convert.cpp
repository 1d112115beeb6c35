// Fuzz target: the first byte picks the target (0 to 11), the rest is an input file. The
// file is loaded as the dialogue loads it and, when it loads, converted. Whatever the bytes,
// a failure says why, the event list is well formed, and a failed write leaves no file.
#include <cstring>

#include "app/output.h"
#include "fuzz/fuzz_common.h"
#include "io/open_input.h"
#include "io/qxi_writer.h"
#include "io/writer.h"
#include "platform/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = fuzz::scratch_folder() + "/input.qxprj";
  static const std::string output = fuzz::scratch_folder() + "/output.out";
  static const std::string listing = qxi_listing_path(output);
  if (size < 1) return 0;
  const uint8_t target = data[0] % 12;
  fuzz::put_file(input, data + 1, size - 1);

  Project p;
  fuzz::prepare(p);
  int tune_flag = 0;
  if (!open_input(p, input, &tune_flag)) {
    FUZZ_CHECK(!p.report_text.empty());
    FUZZ_CHECK(p.events.empty() && fuzz::woice_count(p) == 0 && unit_count(p) == 0);
    return 0;
  }
  fuzz::checked_event_count(p);
  if (write_output(p, p, output, target)) {
    FUZZ_CHECK(path_file_exists(output));
    FUZZ_CHECK(path_file_exists(listing) == (target == TARGET_QXI_LISTING));
    project_release(p);
  } else {
    FUZZ_CHECK(p.error_text[0] != '\0');
    FUZZ_CHECK(!path_file_exists(output));
  }
  delete_file(output);
  delete_file(listing);
  return 0;
}
