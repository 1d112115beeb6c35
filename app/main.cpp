// Command line of tarvenox: the file to convert as arguments, --help and --version. The
// dialogue receives the path the way a dropped file gives it: in double quotes.
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "app/dialogue.h"

int main(int argc, char** argv) {
  CLI::App app{
      "Tarvenox converts song projects (.qxprj), tunes (.qxtune) and instrument files (.qxi)\n"
      "to older generations of their formats. The output is written into the folder that\n"
      "holds this program. Without FILE the path is asked for at the prompt."};
  app.set_version_flag("--version", "tarvenox 1.0");
  std::vector<std::string> files;
  app.add_option("FILE", files,
                 "the file to convert (several arguments are joined with spaces into one path)");
  CLI11_PARSE(app, argc, argv);

  std::string command_line;
  if (!files.empty()) {
    std::string joined;
    for (size_t i = 0; i < files.size(); ++i) {
      if (i > 0) joined += ' ';
      joined += files[i];
    }
    command_line = "\"" + joined + "\"";
  }
  return program_entry(command_line);
}
