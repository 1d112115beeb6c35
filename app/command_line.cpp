// Command line of tarvenox. Without an option the file arguments go to the dialogue the
// way a dropped file gives them (in double quotes, joined into one path); --target
// converts them in batch, --info inspects them.
#include "app/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/batch.h"
#include "app/dialogue.h"
#include "app/info.h"
#include "project/targets.h"

namespace {

std::string targets_text() {
  std::string text = "Targets:\n";
  for (int i = 0; i < TARGET_COUNT; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "  %2d  %s\n", i + 1, target_rule(i + 1).label);
    text += line;
  }
  return text;
}

int dialogue(const std::vector<std::string>& files) {
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

}  // namespace

int run_command_line(int argc, char** argv) {
  CLI::App app{
      "Tarvenox converts song projects (.qxprj), tunes (.qxtune) and instrument files (.qxi)\n"
      "to older generations of their formats, and Standard MIDI Files (.mid) in and out.\n\n"
      "  tarvenox [FILE]                  the dialogue: asks for the target and writes into\n"
      "                                   the folder that holds this program\n"
      "  tarvenox -t N [-o DIR] FILE...   converts every FILE (or the files directly inside\n"
      "                                   a folder) beside it, or into DIR; N may be a name\n"
      "                                   (midi)\n"
      "  tarvenox --info [--json] FILE... tells what each file holds and what each target\n"
      "                                   would do with it; writes nothing"};
  app.footer(targets_text() +
             "\nExit status: 0 when every file converted (or loaded, for --info), 1 when any\n"
             "file failed, 2 for a usage error.");
  app.set_version_flag("--version", "tarvenox " TARVENOX_VERSION);
  BatchOptions batch;
  batch.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  bool info = false;
  bool json = false;
  std::map<std::string, int> target_names;
  for (int t = MENU_TARGET_COUNT + 1; t <= TARGET_COUNT; ++t) target_names[target_rule(t).name] = t;
  auto* target =
      app.add_option("-t,--target", batch.target,
                     "convert to target N (1 to " + std::to_string(TARGET_COUNT) + ") or NAME")
          ->type_name("N")
          ->transform(CLI::Transformer(target_names, CLI::ignore_case))
          ->check(CLI::Range(1, TARGET_COUNT));
  auto* output = app.add_option("-o,--output-dir", batch.output_dir,
                                "write the outputs into DIR instead of beside each input")
                     ->type_name("DIR");
  auto* jobs = app.add_option("-j,--jobs", batch.jobs, "convert J files at once (default: cores)")
                   ->type_name("J")
                   ->check(CLI::PositiveNumber);
  bool skip_existing = false;
  bool force = false;
  auto* skip_flag = app.add_flag("-n,--skip-existing", skip_existing,
                                 "leave out each FILE whose output name is taken (counts as done)");
  auto* force_flag =
      app.add_flag("-f,--force", force,
                   "replace the file or .woices folder at the output name instead of "
                   "numbering the output");
  auto* info_flag = app.add_flag("--info", info, "tell what each FILE holds; write nothing");
  auto* json_flag = app.add_flag("--json", json, "with --info: one JSON document per file");
  app.add_option("FILE", batch.files, "song, tune or instrument files, or folders of them");
  output->needs(target);
  jobs->needs(target);
  skip_flag->needs(target);
  force_flag->needs(target);
  skip_flag->excludes(force_flag);
  json_flag->needs(info_flag);
  info_flag->excludes(target);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "tarvenox: %s (see --help)\n", e.what());
    return EXIT_USAGE;
  }
  if (info) {
    if (batch.files.empty()) {
      std::fprintf(stderr, "tarvenox: --info needs a FILE (see --help)\n");
      return EXIT_USAGE;
    }
    return run_info(batch.files, json, stdout);
  }
  if (*target) {
    if (batch.files.empty()) {
      std::fprintf(stderr, "tarvenox: --target needs a FILE (see --help)\n");
      return EXIT_USAGE;
    }
    batch.naming = force ? NAMING_REPLACE : skip_existing ? NAMING_SKIP_EXISTING : NAMING_NEXT_FREE;
    return run_batch(batch, stdout, stderr);
  }
  return dialogue(batch.files);
}
