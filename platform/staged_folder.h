// Output folders that appear under their name complete or not at all. Each file is first a
// staged file of its own in the destination folder (platform/staged_file.h), unnamed where
// the file system allows; only when every one is whole are they given their names in a
// hidden folder, which is then renamed to the folder's name, never in place of anything
// that stands there unless asked to replace it. A failed, interrupted or killed run leaves the
// destination folder as it was: a kill that cannot be caught leaves nothing but in the moment
// the files are named (and, when replacing, a hidden copy of the old folder in the moment
// before it is removed).
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
  int error = 0;          // the errno value of the call that failed last; 0 while none did

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
// Gives the folder the name `path` in place of the folder that stands there, which is then
// removed (its files, and itself once empty). The name goes from the old folder to the new in
// one step where the system can (Linux: an exchange of the two), otherwise the old is renamed
// aside and the new renamed in. Nothing standing there is fine too. Returns PUBLISH_FAILED,
// with s.error set, when it failed; what stood there is then untouched.
PublishResult staged_folder_replace(StagedFolder& s, const std::string& path);

// The platform's part, beside each platform's staged files.

// Makes a hidden folder in `folder`, registered for removal by a signal. Returns false when
// the folder cannot take one.
bool hidden_folder_make(const std::string& folder, std::string* path);
// Renames `from` to `to`, which it never replaces.
PublishResult folder_rename(const std::string& from, const std::string& to);
// Puts the folder `from` in place of the folder `to`; *old is then where the old folder went
// (a hidden name beside `to`, perhaps `from`), for the caller to remove. Returns false with
// errno set when it failed, leaving `to` as it was.
bool folder_swap(const std::string& from, const std::string& to, std::string* old);
// Removes the hidden folder `path` and the files `names` in it, and forgets it.
void hidden_folder_remove(const std::string& path, const std::vector<std::string>& names);
