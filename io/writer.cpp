// Writer driver. Writing is not built yet: every call fails and leaves no file.
#include "io/writer.h"

#include "platform/paths.h"
#include "project/project.h"

int write_output(Project& p, const std::string& path, int target) {
  (void)target;
  set_error_text(p, "writing not supported");
  delete_file(path);
  return 0;
}
