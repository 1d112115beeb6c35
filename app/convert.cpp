// One input converted into a folder, or into memory for the page: every front end's way.
#include "app/convert.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/output.h"
#include "io/open_input.h"
#include "io/qxi_writer.h"
#include "io/writer.h"
#include "material/ogg.h"
#include "platform/input_file.h"
#include "platform/paths.h"
#include "project/events.h"
#include "project/project.h"
#include "project/targets.h"

namespace {

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

namespace {

// The output kept in memory under the first free name, which an empty file takes; target
// 11's listing is written beside it, and stays when the instrument file fails.
// A folder's files kept in memory under the first free name, which an empty folder takes.
void keep_files_in_memory(Project& p, Conversion& c, const std::vector<std::string>& names,
                          uint8_t target) {
  c.output_path = names[first_free_name(names, target)];
  FileSink sink{[&](const std::string& name) -> FILE* {
                  c.files.push_back({name, std::make_unique<MemoryStream>()});
                  return c.files.back().memory->file();
                },
                [&](FILE*) { return c.files.back().memory->finish(); }};
  const bool made = make_folder(c.output_path);
  if (!made) set_error_text(p, "%s", "open file");
  if (made && write_output_files(p, p, target, sink)) {
    c.stage = CONVERT_DONE;
    return;
  }
  c.stage = CONVERT_WRITE_FAILED;
  c.files.clear();
  if (made) delete_file(c.output_path);
}

void keep_in_memory(Project& p, Conversion& c, const std::vector<std::string>& names,
                    uint8_t target, size_t reserve) {
  const TargetRow* row = target_row(target);
  if (row && row->writer == WRITER_WAV) {
    keep_files_in_memory(p, c, names, target);
    return;
  }
  c.output_path = names[first_free_name(names, target)];
  const std::string listing_path = qxi_listing_path(c.output_path);
  const bool has_listing = row && row->listing;
  c.memory = std::make_unique<MemoryStream>(reserve);
  FILE* name_taken = std::fopen(c.output_path.c_str(), "wb");
  FILE* listing = has_listing ? std::fopen(listing_path.c_str(), "wb") : nullptr;
  bool listing_started = false;
  int ok = c.memory->file() && name_taken && (!has_listing || listing) &&
           write_output_streams(p, p, c.memory->file(), listing, target, &listing_started);
  if (!c.memory->finish()) ok = 0;
  if (name_taken && std::fclose(name_taken) != 0) ok = 0;
  if (listing && std::fclose(listing) != 0) ok = 0;
  if (ok) {
    c.stage = CONVERT_DONE;
  } else {
    c.stage = CONVERT_WRITE_FAILED;
    c.memory.reset();
    delete_file(c.output_path);
  }
  if (listing_started) {
    c.listing_path = listing_path;
  } else if (has_listing) {
    delete_file(listing_path);
  }
}

}  // namespace

int load_input(Project& p, const std::string& input_path, int* tune_flag) {
  const char* failure = nullptr;
  if (!project_prepare(p, &failure)) {
    p.report_text = failure ? failure : "";
    return 0;
  }
  if (input_path == STANDARD_INPUT) {
    const std::string file = standard_input_file();
    if (file.empty()) {
      p.report_text = "File not found!";
      return 0;
    }
    return open_input(p, file, tune_flag, KIND_BY_BYTES);
  }
  return open_input(p, input_path, tune_flag);
}

namespace {

// Whether `path` is the input itself, under its own name or another.
bool is_input(const std::string& input_path, const std::string& path) {
  std::error_code ec;
  return std::filesystem::equivalent(input_path, path, ec);
}

// Why the plain name cannot be used as `naming` asks, before any work: skipped when taken,
// refused when replacing would take the input's place or what stands there is no output.
// CONVERT_DONE when it can.
ConvertStage check_plain_name(Project& p, const std::string& input_path, uint8_t target,
                              const std::string& name, NamingMode naming) {
  if (naming == NAMING_SKIP_EXISTING && !output_name_free(name, target)) return CONVERT_SKIPPED;
  if (naming != NAMING_REPLACE) return CONVERT_DONE;
  const TargetRow* row = target_row(target);
  const char* text = is_input(input_path, name) ? "open file"
                     : row && row->listing && is_input(input_path, qxi_listing_path(name))
                         ? "open txt"
                         : nullptr;
  std::string refused = text ? "would replace the input" : replace_refused(name, target, &text);
  if (refused.empty()) return CONVERT_DONE;
  set_error_text(p, "%s", text);
  p.error_reason = std::move(refused);
  return CONVERT_WRITE_FAILED;
}

// The loaded song written as `target` under its first free name, or its plain name as
// `naming` asks.
Conversion write_into_folder(Project& p, const std::string& input_path, int tune_flag,
                             uint8_t target, const std::string& folder, const NamingTurn& turn,
                             bool in_memory, const std::string& name_template, NamingMode naming) {
  Conversion c;
  p.error_reason.clear();
  if (in_memory) naming = NAMING_NEXT_FREE;
  std::vector<std::string> names =
      output_names(folder, input_path, target, tune_flag, name_template);
  if (names.empty()) {
    c.stage = CONVERT_NO_NAME;
    c.output_path = path_join(folder, name_template);
    return c;
  }
  if (naming != NAMING_NEXT_FREE) names.resize(1);
  // A full set of names, a name to pass over or one that is refused costs no conversion.
  c.stage = check_plain_name(p, input_path, target, names[0], naming);
  if (naming == NAMING_NEXT_FREE && first_free_name(names, target) == names.size()) {
    c.stage = CONVERT_NO_NAME;
  }
  if (c.stage != CONVERT_DONE) {
    c.output_path = names[0];
    if (c.stage == CONVERT_WRITE_FAILED) {
      p.report_text = p.error_text;
      c.error = p.report_text;
      c.reason = p.error_reason;
    }
    return c;
  }
  c.stage = CONVERT_READ_FAILED;
  if (in_memory) {
    std::error_code size_failed;
    const auto input_size = std::filesystem::file_size(input_path, size_failed);
    keep_in_memory(p, c, names, target, size_failed ? 0 : static_cast<size_t>(input_size));
  } else {
    StagedOutput staged;
    write_output_staged(p, p, folder, target, staged);
    const std::function<void()> name_it = [&] {
      if (naming == NAMING_REPLACE) {
        c.output_path = names[0];
        c.stage = replace_output(p, staged, names[0], target) ? CONVERT_DONE : CONVERT_WRITE_FAILED;
        return;
      }
      // An earlier file of the run may have taken the name since.
      const size_t first = first_free_name(names, target);
      if (first == names.size()) {
        c.stage = naming == NAMING_SKIP_EXISTING ? CONVERT_SKIPPED : CONVERT_NO_NAME;
        c.output_path = names[0];
        return;
      }
      names.erase(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(first));
      const int named = publish_output(p, staged, names, &c.output_path);
      c.stage = named ? CONVERT_DONE : CONVERT_WRITE_FAILED;
    };
    if (turn) {
      turn(name_it);
    } else {
      name_it();
    }
  }
  if (c.stage == CONVERT_WRITE_FAILED) {
    p.report_text = p.error_text;
    c.error = p.report_text;
    c.reason = p.error_reason;
  }
  return c;
}

std::string counted(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What was loaded, for a verbose run.
std::string loaded_summary(const Song& song) {
  // The readers store no event of kind 0: every record is an event.
  const auto events = static_cast<int64_t>(song.events.size());
  const auto woices =
      std::count_if(song.woices.begin(), song.woices.end(), [](const auto& w) { return !!w; });
  return counted(unit_count(song), "unit", "units") + ", " + counted(woices, "woice", "woices") +
         ", " + counted(events, "event", "events") + ", " +
         counted(song.beat_clock, "clock", "clocks") + " a beat";
}

}  // namespace

std::vector<Conversion> convert_into_folder(Project& p, const std::string& input_path,
                                            const std::vector<uint8_t>& targets,
                                            const std::string& folder, const NamingTurn& turn,
                                            bool in_memory, const std::string& name_template,
                                            NamingMode naming) {
  std::vector<Conversion> done;
  int tune_flag = 0;
  if (!load_input(p, input_path, &tune_flag)) {
    Conversion c;
    c.error = p.report_text;
    c.reason = p.error_reason;
    done.push_back(std::move(c));
    return done;
  }
  bool named = false;
  const std::string loaded = loaded_summary(p);
  for (const uint8_t target : targets) {
    done.push_back(write_into_folder(p, input_path, tune_flag, target, folder, turn, in_memory,
                                     name_template, naming));
    named = named || done.back().stage == CONVERT_DONE;
  }
  if (!done.empty()) done.front().loaded = loaded;
  if (named) project_release(p);
  return done;
}

Conversion convert_into_folder(Project& p, const std::string& input_path, uint8_t target,
                               const std::string& folder, const NamingTurn& turn, bool in_memory,
                               NamingMode naming) {
  std::vector<Conversion> done = convert_into_folder(p, input_path, std::vector<uint8_t>{target},
                                                     folder, turn, in_memory, {}, naming);
  return std::move(done.front());
}
