// Path functions of the program's folder and of input and output names. The separator is
// "/" on a POSIX system and "\" on Windows (where the shell's path functions decide);
// file name, extension and existence work on the last path component.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Folder of the running executable, without a trailing separator; empty when it cannot
// be found.
std::string module_folder_path();
// Removes the last component: "/a/b/c" -> "/a/b", "/c" -> "/", "c" -> "".
void path_remove_file_spec(std::string& path);
bool path_is_directory(const std::string& path);
// True for a bare file name: no "/" in it (on Windows, neither "\" nor ":").
bool path_is_file_spec(const std::string& path);
// The part after the last separator.
std::string path_find_file_name(const std::string& path);
// Drops the extension (from the last "." of the file name on).
void path_remove_extension(std::string& path);
// The extension with its dot, or "" when the file name has none.
std::string path_find_extension(const std::string& path);
bool path_file_exists(const std::string& path);
bool delete_file(const std::string& path);
// Makes the folder `path`; false when anything stands there or it cannot be made.
bool make_folder(const std::string& path);
// Opens a regular file for reading ("rb"); nullptr for anything else (a folder, a pipe, a
// device), which could block or never end. Checked on the opened file, so nothing can swap
// the path between the check and the open. Sets *reason (when given) to why it failed.
FILE* open_regular_file(const std::string& path, std::string* reason = nullptr);
// A stream that takes any bytes and keeps none, for writing a conversion only to see what
// it does.
FILE* open_discard_stream();
// `name` inside `folder` ("" for the current folder), with one separator between them.
std::string path_join(const std::string& folder, const std::string& name);
// Whether `c` separates the components of a path.
bool is_path_separator(char c);
// Drops separators at the end, but not the one of a root ("/", or "C:\" on Windows).
void path_remove_trailing_separators(std::string& path);

// The two below read the forms a POSIX terminal or desktop gives a dropped file; on
// Windows a dropped file comes as a plain path, and the text comes back unchanged.

// The path a "file:" URI names on this machine ("file:///a%20b", "file://localhost/a",
// "file:/a"), percent-decoded; any other text comes back unchanged.
std::string decode_file_uri(std::string_view text);
// The path in the forms a terminal types for a dropped or pasted file: blanks after it
// dropped, a file URI decoded, or the shell quoting undone (single quotes around it when
// it begins with one, a backslash before a blank or a punctuation mark). Text that is none
// of these, or whose quotes do not pair up, comes back without its trailing blanks only.
std::string decode_typed_path(std::string_view typed);
