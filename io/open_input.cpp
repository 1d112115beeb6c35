// Opening an input file. Songs and instrument files are not read yet: every file that can
// be opened is refused with a text that says so.
#include "io/open_input.h"

#include <cstdio>

#include "project/project.h"

int open_input(Project& p, const std::string& path, uint8_t target, int* tune_flag) {
  (void)target;
  (void)tune_flag;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    p.report_text = "File not found!";
    return 0;
  }
  std::fclose(f);
  p.report_text = "reading not supported";
  return 0;
}
