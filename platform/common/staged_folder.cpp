// Staged output folders, over each platform's staged files and hidden folders.
#include "platform/staged_folder.h"

#include "platform/paths.h"

void staged_folder_open(StagedFolder& s, const std::string& folder) {
  staged_folder_discard(s);
  s.folder = folder;
}

FILE* staged_folder_create(StagedFolder& s, const std::string& name) {
  auto file = std::make_unique<StagedFile>();
  if (!staged_open(*file, s.folder)) return nullptr;
  FILE* f = file->file;
  s.files.emplace_back(name, std::move(file));
  return f;
}

bool staged_folder_finish_file(StagedFolder& s) {
  return !s.files.empty() && staged_finish(*s.files.back().second);
}

PublishResult staged_folder_publish(StagedFolder& s, const std::string& path) {
  if (s.temp_path.empty()) {
    std::string hidden;
    if (!hidden_folder_make(s.folder.empty() ? std::string(".") : s.folder, &hidden)) {
      return PUBLISH_FAILED;
    }
    s.temp_path = hidden;
    for (auto& [name, file] : s.files) {
      if (staged_publish(*file, path_join(s.temp_path, name)) != PUBLISH_DONE) {
        staged_folder_discard(s);
        return PUBLISH_FAILED;
      }
    }
  }
  const PublishResult r = folder_rename(s.temp_path, path);
  if (r == PUBLISH_DONE) {
    s.temp_path.clear();
    s.files.clear();
  }
  return r;
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
