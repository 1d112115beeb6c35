// One input converted into a folder, shared by the dialogue and the batch mode.
#include "app/convert.h"

#include <cstdio>

#include "io/open_input.h"
#include "io/qxi_writer.h"
#include "io/writer.h"
#include "material/ogg.h"
#include "platform/paths.h"
#include "project/project.h"

namespace {

constexpr int OUTPUT_NUMBER_MAX = 99;
constexpr int32_t CONVERSION_GROUP_MAX = 7;

}  // namespace

int project_prepare(Project& p, const char** failure) {
  project_clear(p);
  p.group_max = CONVERSION_GROUP_MAX;
  if (!project_create_tables(p, failure)) return 0;
  build_freq_table(p);
  ogg_codec_install(p);
  return 1;
}

std::vector<std::string> output_names(const std::string& folder, const std::string& input_path,
                                      uint8_t target, int tune_flag) {
  std::string base = path_find_file_name(input_path);
  path_remove_extension(base);
  // Numbers past the table are named as songs: the writer refuses them afterwards.
  const TargetRow* row = target_row(target);
  const char* extension = row ? row->extension : ".qxprj";
  if (tune_flag && (!row || row->writer != WRITER_QXI)) extension = ".qxtune";
  const std::string stem = path_join(folder, base);
  std::vector<std::string> names{stem + extension};
  for (int number = 0; number <= OUTPUT_NUMBER_MAX; ++number) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "_%02d", number);
    names.push_back(stem + suffix + extension);
  }
  return names;
}

bool output_name_free(const std::string& path, uint8_t target) {
  if (path_file_exists(path)) return false;
  const TargetRow* row = target_row(target);
  return !row || !row->listing || !path_file_exists(qxi_listing_path(path));
}

Conversion convert_into_folder(Project& p, const std::string& input_path, uint8_t target,
                               const std::string& folder, const NamingTurn& turn) {
  Conversion c;
  const char* failure = nullptr;
  if (!project_prepare(p, &failure)) {
    p.report_text = failure ? failure : "";
    c.error = p.report_text;
    return c;
  }
  int tune_flag = 0;
  if (!open_input(p, input_path, target, &tune_flag)) {
    c.error = p.report_text;
    return c;
  }
  std::vector<std::string> names = output_names(folder, input_path, target, tune_flag);
  // A full set of names costs no conversion.
  auto first_free = [&] {
    size_t first = 0;
    while (first < names.size() && !output_name_free(names[first], target)) ++first;
    return first;
  };
  if (first_free() == names.size()) {
    c.stage = CONVERT_NO_NAME;
    c.output_path = names[0];
    return c;
  }
  StagedOutput staged;
  write_output_staged(p, folder, target, staged);
  int named = 0;
  const std::function<void()> name_it = [&] {
    const size_t first = first_free();
    if (first == names.size()) {
      c.stage = CONVERT_NO_NAME;
      c.output_path = names[0];
      return;
    }
    names.erase(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(first));
    named = publish_output(p, staged, names, &c.output_path);
    c.stage = named ? CONVERT_DONE : CONVERT_WRITE_FAILED;
  };
  if (turn) {
    turn(name_it);
  } else {
    name_it();
  }
  if (named) {
    project_release(p);
  } else if (c.stage == CONVERT_WRITE_FAILED) {
    p.report_text = p.error_text;
    c.error = p.report_text;
  }
  return c;
}
