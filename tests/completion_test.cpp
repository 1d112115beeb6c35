// The bash completion (app/tarvenox.bash-completion) against the program itself: every
// option --help lists is offered, -t offers exactly the numbers and names the program takes,
// and FILE and -o offer the files and folders the program reads. An option or target name
// added to the program fails here until the completion knows it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "project/targets.h"
#include "tests/writer_fixture.h"

namespace {

std::string output_of(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  return out;
}

// `word` as one word of a shell command.
std::string shell_word(const std::string& word) {
  return "'" + std::regex_replace(word, std::regex("'"), "'\\''") + "'";
}

// What the completion offers in `cwd` for the command line `words`, the last one being
// completed.
std::set<std::string> offered(const std::string& cwd, const std::vector<std::string>& words) {
  std::string script =
      "source " + shell_word(std::string(TARVENOX_SOURCE_DIR) + "/app/tarvenox.bash-completion") +
      " && COMP_WORDS=(";
  for (const std::string& w : words) script += shell_word(w) + " ";
  script += ") && COMP_CWORD=" + std::to_string(words.size() - 1) +
            " && _tarvenox && printf '%s\\n' \"${COMPREPLY[@]}\"";
  std::istringstream lines(
      output_of("cd " + shell_word(cwd) + " && bash --norc --noprofile -c " + shell_word(script)));
  std::set<std::string> set;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) set.insert(line);
  }
  return set;
}

}  // namespace

TEST(Completion, OffersWhatTheProgramTakes) {
  const std::string help = output_of(std::string(TARVENOX_EXE) + " --help");
  // "  -t,--target N[,N...] ...": the options.
  std::set<std::string> options;
  const std::regex option_line(R"(^  (-[-a-zA-Z,]+))");
  std::istringstream help_lines(help);
  for (std::string line; std::getline(help_lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, option_line)) continue;
    std::istringstream names(m[1].str());
    for (std::string name; std::getline(names, name, ',');) options.insert(name);
  }
  ASSERT_TRUE(options.count("--target") && options.count("--info") && options.count("--help"));
  // The targets by number and every name the command line takes for one.
  std::set<std::string> targets;
  for (int n = 1; n <= TARGET_COUNT; ++n) {
    targets.insert(std::to_string(n));
    const TargetRow& row = target_rule(n);
    for (const char* name : {row.tag, row.name}) {
      if (target_by_name(name) != 0) targets.insert(name);
    }
  }
  std::set<std::string> after_comma;
  for (const std::string& t : targets) after_comma.insert("1,6," + t);

  writer_fixture::ScratchDir dir;
  for (const char* name : {"a.QXPRJ", "b.mid", "c.txt", "d.Midi", "e.qxTune", "f.qxi", "g.wav"}) {
    std::ofstream(dir.file(name)) << "x";
  }
  ASSERT_EQ(std::system(("mkdir " + shell_word(dir.file("sub dir"))).c_str()), 0);
  const std::set<std::string> readable = {"a.QXPRJ",  "b.mid", "d.Midi",
                                          "e.qxTune", "f.qxi", "sub dir"};

  const std::set<std::string> dash = offered(dir.path(), {"tarvenox", "-"});
  for (const std::string& o : options) EXPECT_TRUE(dash.count(o)) << o << " is not completed";
  EXPECT_TRUE(dash.count("-")) << "standard input";
  const struct {
    std::vector<std::string> words;
    std::set<std::string> want;
  } cases[] = {
      {{"tarvenox", "-t", ""}, targets},       {{"tarvenox", "--target", "=", "1,6,"}, after_comma},
      {{"tarvenox", "-t", "6", ""}, readable}, {{"tarvenox", "-o", ""}, {"sub dir"}},
      {{"tarvenox", "--", "-"}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(offered(dir.path(), c.words), c.want) << c.words[c.words.size() - 2];
  }
}
