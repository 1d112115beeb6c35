// The forms a terminal types for a dropped or pasted path, and joining and trimming paths.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/paths.h"

namespace {

TEST(DecodeTypedPath, TerminalDropFormsGiveThePath) {
  const std::pair<std::string, std::string> forms[] = {
      {"'/home/me/My Songs/song.qxprj' ", "/home/me/My Songs/song.qxprj"},
      {"/home/me/My\\ Songs/song\\ \\(2\\).qxprj", "/home/me/My Songs/song (2).qxprj"},
      {"file:///home/me/My%20Songs/song.qxprj ", "/home/me/My Songs/song.qxprj"},
      {"file://localhost/a%2fb%C3%a9", "/a/b\xc3\xa9"},
      {"'/a/Don'\\''t.qxprj'", "/a/Don't.qxprj"},  // a quote inside a quoted drop
      {"/a/plain name.qxprj  ", "/a/plain name.qxprj"},
      {"/a/name\\ ", "/a/name "},  // an escaped blank belongs to the name
      {"/a/b\\\\ ", "/a/b\\"},
      // Kept: quotes that do not pair up, a backslash before a letter or a non-ASCII byte
      // or at the end, a URI of another machine, broken or NUL escapes.
      {"/a/Don't.qxprj", "/a/Don't.qxprj"},
      {"'a'b'", "'a'b'"},
      {"/a/b\\c\\\xc3\xa9\\", "/a/b\\c\\\xc3\xa9\\"},
      {"file://elsewhere/a", "file://elsewhere/a"},
      {"file:///a%zz%4%00", "/a%zz%4%00"},
  };
  for (const auto& [given, path] : forms) EXPECT_EQ(decode_typed_path(given), path) << given;
}

TEST(PathJoin, OneSeparatorBetweenFolderAndName) {
  const struct {
    const char* folder;
    const char* joined;
  } cases[] = {
      {"/a/b", "/a/b/song.qxprj"}, {"/a/b/", "/a/b/song.qxprj"}, {"/", "/song.qxprj"},
      {"", "song.qxprj"},          {"b", "b/song.qxprj"},
  };
  for (const auto& c : cases) EXPECT_EQ(path_join(c.folder, "song.qxprj"), c.joined) << c.folder;
}

TEST(PathRemoveTrailingSeparators, KeepsTheRoot) {
  const std::pair<std::string, std::string> cases[] = {
      {"out/", "out"}, {"out//", "out"}, {"/a/out", "/a/out"}, {"/", "/"}, {"//", "/"}, {"", ""},
  };
  for (auto [given, trimmed] : cases) {
    std::string path = given;
    path_remove_trailing_separators(path);
    EXPECT_EQ(path, trimmed) << given;
  }
}

}  // namespace
