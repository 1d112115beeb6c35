// Output folders that appear under their name complete or not at all. Their files are
// written into a hidden folder in the destination folder, which is renamed to its name
// once every file is whole, and never in place of anything that stands there. A failed,
// interrupted or killed run leaves the destination folder as it was.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/staged_file.h"

struct StagedFolder;
// Removes the hidden folder and its files, unless it was given its name.
void staged_folder_discard(StagedFolder& s);

struct StagedFolder {
  std::string temp_path;           // the hidden folder; empty when none is open
  std::vector<std::string> files;  // the names made in it, removed with it

  StagedFolder() = default;
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;
  ~StagedFolder() { staged_folder_discard(*this); }
};

// Makes a hidden folder in `folder` ("" for the current folder). Returns false when the
// folder cannot take one.
bool staged_folder_open(StagedFolder& s, const std::string& folder);
// Opens the new file `name` in the hidden folder for writing; nullptr when it cannot be
// made (or stands there already).
FILE* staged_folder_create(StagedFolder& s, const std::string& name);
// Gives the hidden folder the name `path`, in the folder it was made in; PUBLISH_TAKEN when
// something stands there (nothing is replaced; it may be given another name).
PublishResult staged_folder_publish(StagedFolder& s, const std::string& path);
