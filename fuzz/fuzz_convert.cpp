// Fuzz target: the first byte picks the target (0 to 11), the rest is an input file. The
// file is loaded as the dialogue loads it and, when it loads, converted; nothing may crash,
// leak or read outside a buffer, whatever the bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/open_input.h"
#include "io/writer.h"
#include "material/ogg.h"
#include "platform/paths.h"
#include "project/project.h"

namespace {

std::string scratch_folder() {
  char pattern[] = "/tmp/tarvenox-fuzz-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (!dir) std::abort();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string folder = scratch_folder();
  static const std::string input = folder + "/input.qxprj";
  static const std::string output = folder + "/output.out";
  if (size < 1) return 0;
  const uint8_t target = data[0] % 12;

  FILE* f = std::fopen(input.c_str(), "wb");
  if (!f) std::abort();
  if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);

  Project p;
  p.console = [](std::string_view) {};
  project_clear(p);
  p.group_max = 7;
  const char* failed = nullptr;
  if (!project_create_tables(p, &failed)) return 0;
  build_freq_table(p);
  ogg_codec_install(p);
  int tune_flag = 0;
  if (open_input(p, input, target, &tune_flag)) {
    if (write_output(p, output, target)) project_release(p);
  }
  delete_file(output);
  std::string listing = output;
  path_remove_extension(listing);
  delete_file(listing + ".txt");
  return 0;
}
