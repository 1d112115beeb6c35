// Output names and staged outputs.
#include "app/output.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "io/qxi_writer.h"
#include "io/writer.h"
#include "platform/error_reason.h"
#include "platform/paths.h"
#include "project/project.h"
#include "project/targets.h"

namespace {

constexpr int OUTPUT_NUMBER_MAX = 99;

// The ErrorText, with the system's reason: an errno value (0: none), or words.
int fail(Run& run, const char* text, int error = 0) {
  set_error_text(run, "%s", text);
  run.error_reason = error_reason_text(error);
  return 0;
}

int fail(Run& run, const char* text, const std::string& reason) {
  set_error_text(run, "%s", text);
  run.error_reason = reason;
  return 0;
}

// A writer that failed has said so in the ErrorText. When one of its streams failed under it,
// the errno value taken as the writer returned is the failed write's: a writer gives up at the
// first failed write and calls nothing that sets errno on the way out.
void keep_stream_reason(Run& run, std::initializer_list<FILE*> streams, int saved_errno) {
  const bool stream_failed =
      std::any_of(streams.begin(), streams.end(), [](FILE* f) { return f && std::ferror(f); });
  if (stream_failed) run.error_reason = error_reason_text(saved_errno);
}

}  // namespace

namespace {

// The template's text with its fields filled; false for an unknown field or a brace alone.
bool fill_template(const std::string& text, const std::string& stem, int target,
                   const std::string& extension, std::string* filled) {
  const TargetRow* row = target_row(target);
  filled->clear();
  for (size_t at = 0; at < text.size();) {
    if (text[at] == '}') return false;
    if (text[at] != '{') {
      *filled += text[at++];
      continue;
    }
    const size_t end = text.find('}', at);
    if (end == std::string::npos) return false;
    const std::string field = text.substr(at + 1, end - at - 1);
    if (field == "stem") {
      *filled += stem;
    } else if (field == "gen") {
      *filled += row ? row->tag : "x5x";
    } else if (field == "target") {
      *filled += std::to_string(target);
    } else if (field == "ext") {
      *filled += extension.substr(1);
    } else {
      return false;
    }
    at = end + 1;
  }
  return true;
}

// The name before the number a taken name gets, and after it.
bool name_parts(const std::string& name_template, const std::string& stem, int target,
                const std::string& extension, std::string* head, std::string* tail) {
  if (name_template.empty()) {
    *head = stem;
    *tail = extension;
    return true;
  }
  const size_t ext = name_template.find("{ext}");
  if (ext == std::string::npos) {
    *tail = extension;
    return fill_template(name_template, stem, target, extension, head);
  }
  // The number goes before the dot that leads up to the extension, where there is one.
  const size_t split = ext > 0 && name_template[ext - 1] == '.' ? ext - 1 : ext;
  return fill_template(name_template.substr(0, split), stem, target, extension, head) &&
         fill_template(name_template.substr(split), stem, target, extension, tail);
}

const char* output_extension(int target, int tune_flag) {
  // Numbers past the table are named as songs: the writer refuses them afterwards.
  const TargetRow* row = target_row(target);
  const char* extension = row ? row->extension : ".qxprj";
  if (tune_flag && (!row || writes_song(*row))) extension = ".qxtune";
  return extension;
}

}  // namespace

std::vector<std::string> output_names(const std::string& folder, const std::string& input_path,
                                      uint8_t target, int tune_flag,
                                      const std::string& name_template) {
  std::string base = input_path == STANDARD_INPUT ? "stdin" : path_find_file_name(input_path);
  path_remove_extension(base);
  std::string head, tail;
  if (!name_parts(name_template, base, target, output_extension(target, tune_flag), &head, &tail)) {
    return {};
  }
  const std::string stem = path_join(folder, head);
  std::vector<std::string> names{stem + tail};
  for (int number = 0; number <= OUTPUT_NUMBER_MAX; ++number) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "_%02d", number);
    names.push_back(stem + suffix + tail);
  }
  return names;
}

bool names_differ_by_target(const std::string& name_template, const std::vector<int>& targets,
                            std::string* problem) {
  if (name_template.find_first_of("/\\") != std::string::npos) {
    *problem = "--name: a template names a file, not a folder: no / or \\ in it";
    return false;
  }
  std::vector<std::string> seen;
  for (const int target : targets) {
    for (const int tune_flag : {0, 1}) {
      std::string head, tail;
      if (!name_parts(name_template, "stem", target, output_extension(target, tune_flag), &head,
                      &tail)) {
        *problem = "--name: fields are {stem}, {gen}, {target} and {ext}";
        return false;
      }
      if (head.empty()) {
        *problem = "--name: the template gives an empty name";
        return false;
      }
      for (const std::string& other : seen) {
        if (other == head + tail) {
          *problem = name_template.empty()
                         ? "several targets need --name with names that differ by target, "
                           "such as '{stem}.{gen}'"
                         : "--name: two targets would take the same names: add {gen} or "
                           "{target}";
          return false;
        }
      }
    }
    for (const int tune_flag : {0, 1}) {
      std::string head, tail;
      name_parts(name_template, "stem", target, output_extension(target, tune_flag), &head, &tail);
      seen.push_back(head + tail);
    }
  }
  return true;
}

bool output_name_free(const std::string& path, uint8_t target) {
  if (path_file_exists(path)) return false;
  const TargetRow* row = target_row(target);
  return !row || !row->listing || !path_file_exists(qxi_listing_path(path));
}

size_t first_free_name(const std::vector<std::string>& names, uint8_t target) {
  size_t first = 0;
  while (first < names.size() && !output_name_free(names[first], target)) ++first;
  return first;
}

namespace {

// Whether `target` is written as a folder of files.
bool writes_folder(int target) {
  const TargetRow* row = target_row(target);
  return row && row->writer == WRITER_WAV;
}

int write_folder_staged(Run& run, const Song& song, const std::string& folder, int target,
                        StagedOutput& s) {
  s.folder_output = true;
  staged_folder_open(s.folder, folder);
  s.folder.error = 0;
  FileSink sink{[&](const std::string& name) { return staged_folder_create(s.folder, name); },
                [&](FILE*) { return staged_folder_finish_file(s.folder); }};
  errno = 0;
  s.result = write_output_files(run, song, target, sink);
  const int write_errno = errno;
  if (!s.result) {
    if (s.folder.error) {
      run.error_reason = error_reason_text(s.folder.error);
    } else if (!s.folder.files.empty()) {
      keep_stream_reason(run, {s.folder.files.back().second->file}, write_errno);
    }
    staged_folder_discard(s.folder);
  }
  return s.result;
}

}  // namespace

int write_output_staged(Run& run, const Song& song, const std::string& folder, int target,
                        StagedOutput& s) {
  s.result = 0;
  s.keep_listing = false;
  if (writes_folder(target)) return write_folder_staged(run, song, folder, target, s);
  if (!staged_open(s.out, folder)) return fail(run, "open file", s.out.error);
  const TargetRow* row = target_row(target);
  if (row && row->listing && !staged_open(s.listing, folder)) {
    return fail(run, "open txt", s.listing.error);
  }
  errno = 0;
  s.result = write_output_streams(run, song, s.out.file, s.listing.file, target, &s.keep_listing);
  if (!s.result) keep_stream_reason(run, {s.out.file, s.listing.file}, errno);
  // Buffered bytes may only fail to reach the disk now.
  if (s.result && !staged_finish(s.out)) s.result = fail(run, "write file", s.out.error);
  // The listing stays even when the instrument file fails, but only when it is whole.
  if (s.keep_listing && !staged_finish(s.listing)) {
    s.keep_listing = false;
    if (s.result) s.result = fail(run, "write txt", s.listing.error);
  }
  return s.result;
}

int publish_output(Run& run, StagedOutput& s, const std::vector<std::string>& names,
                   std::string* named) {
  if (!s.result && !s.keep_listing) return 0;
  if (s.folder_output) {
    for (const std::string& name : names) {
      const PublishResult r = staged_folder_publish(s.folder, name);
      if (r == PUBLISH_TAKEN) continue;
      if (r == PUBLISH_FAILED) break;
      if (named) *named = name;
      return 1;
    }
    staged_folder_discard(s.folder);
    return fail(run, "open file", s.folder.error);
  }
  // The first name whose place (and its listing's) is free: nothing is ever replaced.
  const char* taken = "open file";
  int error = 0;
  for (const std::string& name : names) {
    const std::string listing_name = qxi_listing_path(name);
    if (s.keep_listing) {
      const PublishResult r = staged_publish(s.listing, listing_name);
      taken = "open txt";
      if (r == PUBLISH_TAKEN) continue;
      if (r == PUBLISH_FAILED) return s.result ? fail(run, "open txt", s.listing.error) : 0;
      if (!s.result) return 0;
    }
    const PublishResult r = staged_publish(s.out, name);
    if (r == PUBLISH_DONE) {
      if (named) *named = name;
      return 1;
    }
    // Our own listing, named a moment ago, goes with the name it belonged to.
    if (s.keep_listing) delete_file(listing_name);
    taken = "open file";
    if (r == PUBLISH_FAILED) {
      error = s.out.error;
      break;
    }
  }
  return s.result ? fail(run, taken, error) : 0;
}

namespace {

// Whether `path` holds only regular .wav files, as a folder of ours does.
bool folder_of_wav_files(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::symlink_status(path, ec).type() != fs::file_type::directory) return false;
  for (fs::directory_iterator it(path, ec), end; it != end; it.increment(ec)) {
    if (ec) return false;
    std::string ext = it->path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::error_code type_ec;
    if (it->symlink_status(type_ec).type() != fs::file_type::regular || ext != ".wav") {
      return false;
    }
  }
  return !ec;
}

}  // namespace

std::string replace_refused(const std::string& path, int target, const char** text) {
  *text = "open file";
  if (writes_folder(target)) {
    return path_file_exists(path) && !folder_of_wav_files(path) ? "not a folder of .wav files" : "";
  }
  std::string why = not_regular_reason(path);
  const TargetRow* row = target_row(target);
  if (why.empty() && row && row->listing) {
    *text = "open txt";
    why = not_regular_reason(qxi_listing_path(path));
  }
  return why;
}

int replace_output(Run& run, StagedOutput& s, const std::string& path, int target) {
  if (!s.result && !s.keep_listing) return 0;
  // Both places are looked at before either is replaced.
  const char* text = nullptr;
  const std::string refused = replace_refused(path, target, &text);
  if (!refused.empty()) {
    if (s.folder_output) staged_folder_discard(s.folder);
    return s.result ? fail(run, text, refused) : 0;
  }
  if (s.folder_output) {
    if (staged_folder_replace(s.folder, path) == PUBLISH_DONE) return 1;
    staged_folder_discard(s.folder);
    return fail(run, "open file", s.folder.error);
  }
  if (s.keep_listing && !staged_replace(s.listing, qxi_listing_path(path))) {
    return s.result ? fail(run, "open txt", s.listing.error) : 0;
  }
  if (!s.result) return 0;
  if (!staged_replace(s.out, path)) return fail(run, "open file", s.out.error);
  return 1;
}

int write_output(Run& run, const Song& song, const std::string& path, int target) {
  // Refused before any work when the name is taken.
  if (path_file_exists(path)) return fail(run, "open file");
  StagedOutput s;
  write_output_staged(run, song, folder_of(path), target, s);
  return publish_output(run, s, {path}, nullptr);
}
