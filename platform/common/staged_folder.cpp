// Staged output folders, over each platform's staged files and hidden folders.
#include "platform/staged_folder.h"

#include <cerrno>
#include <filesystem>

#include "platform/paths.h"

void staged_folder_open(StagedFolder& s, const std::string& folder) {
  staged_folder_discard(s);
  s.folder = folder;
}

FILE* staged_folder_create(StagedFolder& s, const std::string& name) {
  auto file = std::make_unique<StagedFile>();
  if (!staged_open(*file, s.folder)) {
    s.error = file->error;
    return nullptr;
  }
  FILE* f = file->file;
  s.files.emplace_back(name, std::move(file));
  return f;
}

bool staged_folder_finish_file(StagedFolder& s) {
  if (s.files.empty()) return false;
  StagedFile& file = *s.files.back().second;
  if (staged_finish(file)) return true;
  s.error = file.error;
  return false;
}

namespace {

// Names the files in a hidden folder of their own, once.
bool name_files_in_hidden_folder(StagedFolder& s) {
  if (!s.temp_path.empty()) return true;
  std::string hidden;
  if (!hidden_folder_make(s.folder.empty() ? std::string(".") : s.folder, &hidden)) {
    s.error = errno;
    return false;
  }
  s.temp_path = hidden;
  for (auto& [name, file] : s.files) {
    if (staged_publish(*file, path_join(s.temp_path, name)) != PUBLISH_DONE) {
      s.error = file->error ? file->error : EEXIST;
      staged_folder_discard(s);
      return false;
    }
  }
  return true;
}

// The files of a folder that was replaced, then the folder; anything else put into it
// meanwhile keeps it.
void remove_replaced_folder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (it->symlink_status(type_ec).type() == std::filesystem::file_type::regular) {
      names.push_back(it->path().filename().string());
    }
  }
  hidden_folder_remove(path, names);
}

}  // namespace

PublishResult staged_folder_publish(StagedFolder& s, const std::string& path) {
  if (!name_files_in_hidden_folder(s)) return PUBLISH_FAILED;
  const PublishResult r = folder_rename(s.temp_path, path);
  if (r == PUBLISH_DONE) {
    s.temp_path.clear();
    s.files.clear();
  } else if (r == PUBLISH_FAILED) {
    s.error = errno;
  }
  return r;
}

PublishResult staged_folder_replace(StagedFolder& s, const std::string& path) {
  if (!path_file_exists(path)) {
    const PublishResult r = staged_folder_publish(s, path);
    // Taken a moment ago by something that was not checked: left alone.
    if (r == PUBLISH_TAKEN) s.error = EEXIST;
    return r == PUBLISH_TAKEN ? PUBLISH_FAILED : r;
  }
  if (!name_files_in_hidden_folder(s)) return PUBLISH_FAILED;
  std::string old;
  if (!folder_swap(s.temp_path, path, &old)) {
    s.error = errno;
    return PUBLISH_FAILED;
  }
  s.temp_path.clear();
  s.files.clear();
  remove_replaced_folder(old);
  return PUBLISH_DONE;
}

void staged_folder_discard(StagedFolder& s) {
  if (!s.temp_path.empty()) {
    std::vector<std::string> names;
    for (const auto& entry : s.files) names.push_back(entry.first);
    hidden_folder_remove(s.temp_path, names);
    s.temp_path.clear();
  }
  s.files.clear();
}
