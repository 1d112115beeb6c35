// Path functions of the program's folder and of input and output names. The separator is
// "/"; file name, extension and existence work on the last path component.
#pragma once

#include <cstdio>
#include <string>

// Folder of the running executable (through /proc/self/exe), without a trailing slash;
// empty when it cannot be found.
std::string module_folder_path();
// Removes the last component: "/a/b/c" -> "/a/b", "/c" -> "/", "c" -> "".
void path_remove_file_spec(std::string& path);
bool path_is_directory(const std::string& path);
// True for a bare file name: no "/" in it.
bool path_is_file_spec(const std::string& path);
// The part after the last "/".
std::string path_find_file_name(const std::string& path);
// Drops the extension (from the last "." of the file name on).
void path_remove_extension(std::string& path);
// The extension with its dot, or "" when the file name has none.
std::string path_find_extension(const std::string& path);
bool path_file_exists(const std::string& path);
bool delete_file(const std::string& path);
// Opens a regular file for reading ("rb"); nullptr for anything else (a folder, a pipe, a
// device), which could block or never end. Checked on the opened file, so nothing can swap
// the path between the check and the open.
FILE* open_regular_file(const std::string& path);
// A stream that takes any bytes and keeps none, for writing a conversion only to see what
// it does.
FILE* open_discard_stream();
