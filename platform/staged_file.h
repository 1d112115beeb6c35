// Output files that appear under their name complete or not at all. The bytes go into a
// file without a name in the destination folder (on Windows, and where the file system
// cannot hold one, a file with a hidden name); only a complete file is given its name, never
// in place of one that stands there unless asked to replace it, and then in one step. A
// failed, interrupted or killed run leaves the folder as it was.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

// What the platform keeps of the file besides its stream: the descriptor that holds an
// unnamed file on a POSIX system, whether it was written out in full on Windows. Defined
// beside each platform's functions.
struct StagedFileState;

struct StagedFile {
  FILE* file = nullptr;
  std::unique_ptr<StagedFileState> state;
  // Where the file system cannot hold a file without a name: the hidden name it has until
  // it is given its own.
  std::string temp_path;
  std::unique_ptr<char[]> buffer;  // the stream's, freed after it is closed
  // The errno value of the call that failed last (on Windows, the nearest to its error);
  // 0 while none did.
  int error = 0;

  StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();
};

// Opens an unnamed file for writing in `folder` ("" for the current folder). With
// `allow_unnamed` false the hidden-name way is taken at once (for tests). Returns false
// when the folder cannot take a file.
bool staged_open(StagedFile& s, const std::string& folder, bool allow_unnamed = true);

enum PublishResult { PUBLISH_DONE, PUBLISH_TAKEN, PUBLISH_FAILED };

// Writes out what is buffered (once: later calls do nothing).
// Returns false when the data could not be written.
bool staged_finish(StagedFile& s);
// Gives the finished file the name `path`, in the folder it was opened in. PUBLISH_TAKEN:
// something stands there (nothing is replaced; the file may be given another name). On a
// POSIX system the file can be given further names until it is discarded; on Windows it is
// moved to its name, and that is its only one.
PublishResult staged_publish(StagedFile& s, const std::string& path);
// Gives the finished file the name `path` in place of the file that stands there, which stays
// whole until it is replaced in one step (POSIX: rename(2) from a hidden name; Windows:
// MoveFileExA replacing it). Nothing standing there is fine too. Returns false, with s.error
// set, when it failed; what stood there is then untouched. The file has no other name after.
bool staged_replace(StagedFile& s, const std::string& path);
// Closes the file; an unnamed one is gone with it.
void staged_discard(StagedFile& s);

// The folder part of a path ("" for a bare name).
std::string folder_of(const std::string& path);
