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

std::vector<std::string> output_names(const std::string& folder, const std::string& input_path,
                                      uint8_t target, int tune_flag) {
  std::string base = path_find_file_name(input_path);
  path_remove_extension(base);
  // Numbers past the table are named as songs: the writer refuses them afterwards.
  const TargetRow* row = target_row(target);
  const char* extension = row ? row->extension : ".qxprj";
  if (tune_flag && (!row || writes_song(*row))) extension = ".qxtune";
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
