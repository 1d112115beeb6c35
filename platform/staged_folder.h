// Output folders that appear under their name complete or not at all. Each file is first a
// staged file of its own in the destination folder (platform/staged_file.h), unnamed where
// the file system allows; only when every one is whole are they given their names in a
// hidden folder, which is then renamed to the folder's name, never in place of anything
// that stands there. A failed, interrupted or killed run leaves the destination folder as it
// was: a kill that cannot be caught leaves nothing but in the moment the files are named.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/staged_file.h"

struct StagedFolder;
// Removes the staged files and the hidden folder, unless it was given its name.
void staged_folder_discard(StagedFolder& s);

struct StagedFolder {
  std::string folder;  // where it goes
  std::vector<std::pair<std::string, std::unique_ptr<StagedFile>>> files;
  std::string temp_path;  // the hidden folder, once the files are named in it

  StagedFolder() = default;
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;
  ~StagedFolder() { staged_folder_discard(*this); }
};

// Begins a folder to go into `folder` ("" for the current folder).
void staged_folder_open(StagedFolder& s, const std::string& folder);
// Opens the file `name` of the folder for writing; nullptr when it cannot be made.
FILE* staged_folder_create(StagedFolder& s, const std::string& name);
// Writes out what is buffered of the file created last and closes its stream. Returns false
// when the data could not be written.
bool staged_folder_finish_file(StagedFolder& s);
// Gives the folder the name `path`, in the folder it was begun for; PUBLISH_TAKEN when
// something stands there (nothing is replaced; it may be given another name).
PublishResult staged_folder_publish(StagedFolder& s, const std::string& path);

// The platform's part, beside each platform's staged files.

// Makes a hidden folder in `folder`, registered for removal by a signal. Returns false when
// the folder cannot take one.
bool hidden_folder_make(const std::string& folder, std::string* path);
// Renames `from` to `to`, which it never replaces.
PublishResult folder_rename(const std::string& from, const std::string& to);
// Removes the hidden folder `path` and the files `names` in it, and forgets it.
void hidden_folder_remove(const std::string& path, const std::vector<std::string>& names);
