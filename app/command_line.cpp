// Command line of tarvenox. Without an option the file arguments go to the dialogue the
// way a dropped file gives them (in double quotes, joined into one path); --target
// converts them in batch, --info inspects them.
#include "app/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/dialogue.h"
#include "app/info.h"
#include "platform/input_file.h"
#include "platform/paths.h"
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

// The targets of a -t argument: numbers and names, separated by commas. Empty, with *bad
// set to the part that is none, when one is not a target.
std::vector<int> parse_targets(const std::string& text, std::string* bad) {
  std::vector<int> targets;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? comma : comma - start);
    int target = target_by_name(part);
    if (!target && !part.empty() && part.size() <= 3 &&
        part.find_first_not_of("0123456789") == std::string::npos) {
      target = std::stoi(part);
    }
    if (!target_row(target)) {
      *bad = part;
      return {};
    }
    if (std::find(targets.begin(), targets.end(), target) == targets.end()) {
      targets.push_back(target);
    }
    if (comma == std::string::npos) return targets;
    start = comma + 1;
  }
}

int usage_error(const std::string& text) {
  std::fprintf(stderr, "tarvenox: %s (see --help)\n", text.c_str());
  return EXIT_USAGE;
}

}  // namespace

int run_command_line(int argc, char** argv) {
  CLI::App app{
      "Tarvenox converts song projects (.qxprj), tunes (.qxtune) and instrument files (.qxi)\n"
      "to older generations of their formats, Standard MIDI Files (.mid) in and out, and\n"
      "woices out as WAV files.\n\n"
      "  tarvenox [FILE]                  the dialogue: asks for the target and writes into\n"
      "                                   the folder that holds this program\n"
      "  tarvenox -t N [-o DIR] [-n|-f] FILE...\n"
      "                                   converts every FILE (or the files directly inside\n"
      "                                   a folder) beside it, or into DIR\n"
      "  tarvenox --info [--json] FILE... tells what each file (or each file directly inside\n"
      "                                   a folder) holds and what each target would do\n"
      "                                   with it; writes nothing"};
  app.footer(targets_text() +
             "\nResults: one line a file written, on standard output: \"converted\", the input\n"
             "and the output, separated by tabs. Conversion lines, warnings, errors and the\n"
             "summary go to standard error.\n"
             "\nExit status: 0 when every file converted (or loaded, for --info), 1 when any\n"
             "file failed, 2 for a usage error, 128 + the signal when interrupted.");
  app.set_version_flag("--version", "tarvenox " TARVENOX_VERSION);
  BatchOptions batch;
  std::string targets_arg, jobs_arg;
  bool info = false, json = false, quiet = false, verbose = false;
  auto* target = app.add_option("-t,--target", targets_arg,
                                "convert to target N (1 to " + std::to_string(TARGET_COUNT) +
                                    ") or NAME (x1x to x5x, qxi, midi, wav); several with commas")
                     ->type_name("N[,N...]");
  auto* output = app.add_option("-o,--output-dir", batch.output_dir,
                                "write the outputs into DIR instead of beside each input")
                     ->type_name("DIR");
  auto* jobs = app.add_option("-j,--jobs", jobs_arg,
                              "convert J files at once (default and 0: one a processor)")
                   ->type_name("J");
  auto* recursive =
      app.add_flag("-r,--recursive", batch.recursive,
                   "take the files in the folders' subfolders too; with -o, mirror them in DIR");
  auto* name = app.add_option("--name", batch.name_template,
                              "name the outputs by TEMPLATE: {stem} the input's name without its "
                              "extension, {gen} the target's tag, {target} its number, {ext} "
                              "the extension (added at the end when not given)")
                   ->type_name("TEMPLATE");
  bool skip_existing = false;
  bool force = false;
  auto* skip_flag = app.add_flag("-n,--skip-existing", skip_existing,
                                 "leave out each FILE whose output name is taken (counts as done)");
  auto* force_flag =
      app.add_flag("-f,--force", force,
                   "replace the file or .woices folder at the output name instead of "
                   "numbering the output");
  auto* quiet_flag = app.add_flag("-q,--quiet", quiet, "print only errors and the summary");
  auto* verbose_flag = app.add_flag("-v,--verbose", verbose, "say what each step did");
  auto* info_flag = app.add_flag("--info", info, "tell what each FILE holds; write nothing");
  auto* json_flag =
      app.add_flag("--json", json, "with --info: one JSON document for all the files");
  app.add_option("FILE", batch.files, "song, tune, instrument or MIDI files, or folders of them");
  for (CLI::Option* o :
       {output, jobs, recursive, name, skip_flag, force_flag, quiet_flag, verbose_flag}) {
    o->needs(target);
  }
  quiet_flag->excludes(verbose_flag);
  skip_flag->excludes(force_flag);
  json_flag->needs(info_flag);
  info_flag->excludes(target);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }
  // "-5" meant as "-t 5" must not be taken for a file: what looks like an option is one,
  // unless it names a file or comes after "--".
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") options_ended = true;
    if (options_ended || arg.size() < 2 || arg[0] != '-') continue;
    if (std::find(batch.files.begin(), batch.files.end(), arg) != batch.files.end() &&
        !path_file_exists(arg)) {
      return usage_error("unknown option " + arg +
                         "; a file whose name begins with - goes after --");
    }
  }
  // A song is not typed: waiting for one at a terminal would only look like a hang.
  if (std::find(batch.files.begin(), batch.files.end(), "-") != batch.files.end() &&
      stream_is_terminal(stdin)) {
    return usage_error("- reads standard input, which is a terminal");
  }
  if (info) {
    if (batch.files.empty()) return usage_error("--info needs a FILE");
    std::vector<std::string> files;
    for (const std::string& argument : batch.files) {
      for (std::string& f : expand_input(argument)) files.push_back(std::move(f));
    }
    if (files.empty()) return usage_error("no song, tune, instrument or MIDI file to inspect");
    return run_info(files, json, stdout);
  }
  if (*target) {
    std::string bad;
    batch.targets = parse_targets(targets_arg, &bad);
    if (batch.targets.empty()) {
      return usage_error("-t/--target: '" + bad + "' is no target: give 1 to " +
                         std::to_string(TARGET_COUNT) +
                         " or a name (x1x to x5x, qxi, midi, wav), several with commas");
    }
    if (*jobs) {
      if (jobs_arg.empty() || jobs_arg.size() > 6 ||
          jobs_arg.find_first_not_of("0123456789") != std::string::npos) {
        return usage_error(
            "-j/--jobs: give a whole number of files at once, 0 for one a processor");
      }
      batch.jobs = std::stoi(jobs_arg);
    }
    if (quiet) batch.verbosity = VERBOSITY_QUIET;
    if (verbose) batch.verbosity = VERBOSITY_VERBOSE;
    batch.naming = force ? NAMING_REPLACE : skip_existing ? NAMING_SKIP_EXISTING : NAMING_NEXT_FREE;
    if (batch.files.empty()) return usage_error("--target needs a FILE");
    return run_batch(batch, stdout, stderr);
  }
  return dialogue(batch.files);
}
