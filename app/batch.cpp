// Batch conversion. Files are converted on several threads, each with a Project of its
// own; the naming step runs in argument order, so that names taken by one file are passed
// over by the next exactly as in a run of one job, and each file's lines are printed
// together, in argument order, as soon as every earlier file is done.
#include "app/batch.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>

#include "app/convert.h"
#include "app/output.h"
#include "io/writer.h"
#include "platform/console.h"
#include "platform/input_file.h"
#include "platform/interrupt.h"
#include "platform/paths.h"
#include "platform/staged_file.h"
#include "platform/streams.h"
#include "project/project.h"
#include "project/targets.h"

namespace {

bool has_input_extension(const std::string& name) {
  std::string ext = path_find_extension(name);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".qxprj" || ext == ".qxtune" || ext == ".qxi" || ext == ".mid" || ext == ".midi";
}

// Whether a file can be created in the folder; tried with an unnamed file, which leaves
// nothing behind.
bool folder_takes_files(const std::string& folder) {
  StagedFile probe;
  return staged_open(probe, folder);
}

// A name as one line: the line breaks and tabs a file name may hold shown as "?", like the
// other control characters (which terminal_safe_text replaces in the whole report).
std::string one_line(std::string name) {
  std::replace_if(
      name.begin(), name.end(), [](char ch) { return ch == '\n' || ch == '\r' || ch == '\t'; },
      '?');
  return name;
}

// What a finished output holds, for -v: its bytes, or a folder's files and bytes.
std::string output_size(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    const auto bytes = fs::file_size(path, ec);
    return ec ? std::string() : " (" + std::to_string(bytes) + (bytes == 1 ? " byte)" : " bytes)");
  }
  uintmax_t files = 0, bytes = 0;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code size_ec;
    const auto size = it->file_size(size_ec);
    ++files;
    bytes += size_ec ? 0 : size;
  }
  return " (" + std::to_string(files) + (files == 1 ? " file, " : " files, ") +
         std::to_string(bytes) + (bytes == 1 ? " byte)" : " bytes)");
}

struct FileReport {
  std::string err, out;
};

// The conversion lines as the dialogue prints them, one to a line, then each output's
// result: a result line for the output stream, an error line for the error stream.
FileReport file_report(const std::string& input_path, const std::vector<Conversion>& done,
                       const std::string& lines, Verbosity verbosity) {
  const std::string input = one_line(input_path);
  FileReport r;
  if (verbosity == VERBOSITY_VERBOSE && !done.empty() && !done.front().loaded.empty()) {
    r.err += "  loaded " + input + ": " + done.front().loaded + "\n";
  }
  size_t start = 0;
  while (verbosity != VERBOSITY_QUIET && start <= lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    if (end > start) r.err += "  " + lines.substr(start, end - start) + "\n";
    start = end + 1;
  }
  // The system's reason, when there is one, after the converter's own text.
  for (const Conversion& c : done) {
    const std::string output = one_line(c.output_path);
    const std::string reason = c.reason.empty() ? "" : " (" + c.reason + ")";
    switch (c.stage) {
      case CONVERT_DONE:
        if (verbosity == VERBOSITY_VERBOSE) {
          r.err += "  wrote " + output + output_size(c.output_path) + "\n";
        }
        if (verbosity != VERBOSITY_QUIET) r.out += "converted\t" + input + "\t" + output + "\n";
        break;
      case CONVERT_SKIPPED:
        if (verbosity != VERBOSITY_QUIET) r.out += "skipped\t" + input + "\t" + output + "\n";
        break;
      case CONVERT_READ_FAILED:
        r.err += input + ": Error reading file: " + c.error + reason + "\n";
        break;
      case CONVERT_NO_NAME:
        r.err += input + ": Error: failure creating file in path: " + output + "\n";
        break;
      case CONVERT_WRITE_FAILED:
        r.err += input + ": Error converting file: " + c.error + reason + "\n";
        break;
    }
  }
  return r;
}

struct Finished {
  FileReport report;
  bool converted = false;
  bool stopped = false;  // interrupted before it was named: nothing of it stays
  bool skipped = false;  // every output's name was taken, and -n passes such files over
  bool ready = false;
};

// The one output of one file and one target, written to the output stream, which then
// carries nothing else: the result line goes with the rest to the error stream. Written
// whole or not at all, as to a file.
int convert_to_stream(const BatchOptions& options, const std::string& input, FILE* out, FILE* err) {
  const int target = options.targets.front();
  const TargetRow& row = target_rule(target);
  if (row.writer == WRITER_WAV || row.listing) {
    std::fprintf(err, "tarvenox: -o -: target %d writes more than one file (see --help)\n", target);
    return EXIT_USAGE;
  }
  Project p;
  std::string lines;
  p.console = [&lines](std::string_view text) { lines.append(text); };
  int tune_flag = 0;
  Conversion c;
  MemoryStream bytes;
  if (!load_input(p, input, &tune_flag)) {
    c.error = p.report_text;
  } else if (!bytes.file() || !write_output_streams(p, p, bytes.file(), nullptr, target, nullptr) ||
             !bytes.finish()) {
    c.stage = CONVERT_WRITE_FAILED;
    c.error = p.error_text[0] ? p.error_text : "out of memory";
  } else {
    c.stage = CONVERT_DONE;
    c.output_path = "-";
  }
  std::vector<Conversion> done;
  done.push_back(std::move(c));
  const FileReport r = file_report(input, done, lines, options.verbosity);
  std::fputs(terminal_safe_text(r.err + r.out).c_str(), err);
  if (done.front().stage != CONVERT_DONE) return EXIT_SOME_FAILED;
  stream_set_binary(out);
  if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fflush(out) != 0) {
    std::fprintf(err, "tarvenox: write error on standard output\n");
    return EXIT_SOME_FAILED;
  }
  return EXIT_ALL_CONVERTED;
}

}  // namespace

std::vector<BatchInput> expand_inputs(const std::string& argument, bool recursive,
                                      std::vector<std::string>* passed_over) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(argument, ec)) return {{argument, ""}};
  std::vector<BatchInput> inputs;
  std::vector<std::string> skipped;
  const auto take = [&](const fs::directory_entry& e, const std::string& subfolder) {
    std::error_code type_ec;
    const std::string name = e.path().filename().string();
    const std::string path =
        path_join(subfolder.empty() ? argument : path_join(argument, subfolder), name);
    if (!e.is_regular_file(type_ec)) {
      if (!e.is_directory(type_ec)) skipped.push_back(path + ": not a regular file");
    } else if (has_input_extension(name)) {
      inputs.push_back({path, subfolder});
    } else {
      skipped.push_back(path + ": not a song, tune, instrument or MIDI file");
    }
  };
  if (recursive) {
    for (fs::recursive_directory_iterator it(argument, ec), end; !ec && it != end;
         it.increment(ec)) {
      // Hidden entries (our own staged outputs among them) are no one's input.
      if (it->path().filename().string().starts_with(".")) {
        if (it->is_directory()) it.disable_recursion_pending();
        continue;
      }
      std::string sub = fs::relative(it->path().parent_path(), argument, ec).string();
      if (sub == ".") sub.clear();
      take(*it, sub);
    }
  } else {
    for (fs::directory_iterator it(argument, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().filename().string().starts_with(".")) continue;
      std::error_code type_ec;
      if (it->is_directory(type_ec)) continue;
      take(*it, "");
    }
  }
  const auto by_path = [](const BatchInput& a, const BatchInput& b) { return a.path < b.path; };
  std::sort(inputs.begin(), inputs.end(), by_path);
  std::sort(skipped.begin(), skipped.end());
  if (passed_over) passed_over->insert(passed_over->end(), skipped.begin(), skipped.end());
  return inputs;
}

std::vector<std::string> expand_input(const std::string& argument) {
  std::vector<std::string> files;
  for (BatchInput& in : expand_inputs(argument, false, nullptr))
    files.push_back(std::move(in.path));
  return files;
}

int run_batch(const BatchOptions& options, FILE* out, FILE* err) {
  // From the first file made on (the output folder's probe among them).
  interrupt_defer();
  for (const int target : options.targets) {
    if (!target_row(target)) {
      std::fprintf(err, "tarvenox: the target must be a number from 1 to %d\n", TARGET_COUNT);
      return EXIT_USAGE;
    }
  }
  if (options.targets.empty()) {
    std::fprintf(err, "tarvenox: no target given\n");
    return EXIT_USAGE;
  }
  std::string template_problem;
  if (!names_differ_by_target(options.name_template, options.targets, &template_problem)) {
    std::fprintf(err, "tarvenox: %s (see --help)\n", template_problem.c_str());
    return EXIT_USAGE;
  }
  std::string dir = options.output_dir;
  const bool to_stream = dir == "-";
  if (to_stream) {
    if (stream_is_terminal(out)) {
      std::fprintf(err, "tarvenox: -o -: standard output is a terminal (see --help)\n");
      return EXIT_USAGE;
    }
    if (options.targets.size() != 1 || options.files.size() != 1 ||
        std::filesystem::is_directory(options.files.front())) {
      std::fprintf(err, "tarvenox: -o - takes one file and one target (see --help)\n");
      return EXIT_USAGE;
    }
    return convert_to_stream(options, options.files.front(), out, err);
  }
  path_remove_trailing_separators(dir);
  if (!dir.empty()) {
    if (!path_is_directory(dir)) {
      std::fprintf(err, "tarvenox: output folder not found: %s\n", dir.c_str());
      return EXIT_USAGE;
    }
    if (!folder_takes_files(dir)) {
      std::fprintf(err, "tarvenox: cannot write into the output folder: %s\n", dir.c_str());
      return EXIT_USAGE;
    }
  }
  std::vector<BatchInput> files;
  std::vector<std::string> passed_over;
  for (const std::string& argument : options.files) {
    for (BatchInput& f : expand_inputs(argument, options.recursive, &passed_over)) {
      files.push_back(std::move(f));
    }
  }
  if (options.verbosity != VERBOSITY_QUIET) {
    for (const std::string& skipped : passed_over) {
      std::fprintf(err, "%s\n", terminal_safe_text("passed over " + one_line(skipped)).c_str());
    }
  }
  if (files.empty()) {
    std::fprintf(err, "tarvenox: no song, tune, instrument or MIDI file to convert\n");
    return EXIT_USAGE;
  }

  const size_t total = files.size();
  const std::vector<uint8_t> targets(options.targets.begin(), options.targets.end());
  std::vector<Finished> finished(total);
  std::mutex mutex;
  std::condition_variable changed;
  size_t naming_turn = 0;
  std::atomic<size_t> next_file{0};

  auto convert_one = [&](size_t i) {
    auto take_turn = [&] {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return naming_turn == i; });
    };
    if (interrupt_received()) {
      // Never started; its turn passes on, so that the files in flight can end.
      take_turn();
      std::lock_guard<std::mutex> lock(mutex);
      ++naming_turn;
      finished[i].stopped = true;
      finished[i].ready = true;
      changed.notify_all();
      return;
    }
    bool turn_taken = false;
    bool stopped = false;
    const NamingTurn turn = [&](const std::function<void()>& name_it) {
      if (!turn_taken) take_turn();
      turn_taken = true;
      // Interrupted: what is in flight is given up, not named.
      if (interrupt_received()) {
        stopped = true;
        return;
      }
      name_it();
    };
    std::string lines;
    std::vector<Conversion> done;
    try {
      Project p;
      p.console = [&lines](std::string_view text) { lines.append(text); };
      std::string folder = dir.empty() ? folder_of(files[i].path) : dir;
      if (!dir.empty() && !files[i].subfolder.empty()) {
        folder = path_join(dir, files[i].subfolder);
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
      }
      done = convert_into_folder(p, files[i].path, targets, folder, turn, false,
                                 options.name_template, options.naming);
    } catch (const std::bad_alloc&) {
      Conversion c;
      c.stage = CONVERT_WRITE_FAILED;
      c.error = "out of memory";
      done.clear();
      done.push_back(std::move(c));
    }
    if (!turn_taken) take_turn();
    std::lock_guard<std::mutex> lock(mutex);
    ++naming_turn;
    Finished& f = finished[i];
    f.stopped = stopped;
    if (stopped) {
      // Of several targets, those named before the interrupt stay, and are said; the file
      // counts as not converted.
      std::erase_if(done, [](const Conversion& c) { return c.stage != CONVERT_DONE; });
      lines.clear();
    }
    // Names from files and folders could otherwise send commands to a terminal.
    f.report = file_report(files[i].path, done, lines, options.verbosity);
    f.report.err = terminal_safe_text(f.report.err);
    f.report.out = terminal_safe_text(f.report.out);
    if (!stopped) {
      const auto ended = [&](auto&& stage_ok) {
        return std::all_of(done.begin(), done.end(), stage_ok);
      };
      f.skipped = ended([](const Conversion& c) { return c.stage == CONVERT_SKIPPED; });
      f.converted = !f.skipped && ended([](const Conversion& c) {
        return c.stage == CONVERT_DONE || c.stage == CONVERT_SKIPPED;
      });
    }
    f.ready = true;
    changed.notify_all();
  };

  const size_t processors = std::max(1u, std::thread::hardware_concurrency());
  const size_t asked = options.jobs > 0 ? static_cast<size_t>(options.jobs) : processors;
  const size_t jobs = std::clamp<size_t>(asked, 1, std::min<size_t>(total, JOBS_MAX));
  std::vector<std::thread> workers;
  for (size_t j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      for (size_t i = next_file++; i < total; i = next_file++) convert_one(i);
    });
  }
  // Each file's lines as soon as it and every earlier one are done.
  size_t converted = 0, skipped = 0, failed = 0;
  for (size_t i = 0; i < total; ++i) {
    FileReport report;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return finished[i].ready; });
      const Finished& f = finished[i];
      report = f.report;
      converted += f.converted ? 1 : 0;
      skipped += f.skipped ? 1 : 0;
      failed += f.converted || f.skipped || f.stopped ? 0 : 1;
    }
    std::fputs(report.err.c_str(), err);
    std::fflush(err);
    std::fputs(report.out.c_str(), out);
    std::fflush(out);
  }
  for (std::thread& w : workers) w.join();
  const int sig = interrupt_received();
  // A file skipped because its output is there counts as done.
  const std::string skipped_text = skipped ? ", " + std::to_string(skipped) + " skipped" : "";
  if (sig) {
    std::fprintf(err, "interrupted: converted %zu of %zu%s, %zu failed, %zu not converted\n",
                 converted, total, skipped_text.c_str(), failed,
                 total - converted - skipped - failed);
  } else if (total > 1) {
    std::fprintf(err, "converted %zu of %zu%s, %zu failed\n", converted, total,
                 skipped_text.c_str(), failed);
  }
  // A result that did not reach its reader is a failure, as for any program that writes.
  if (std::fflush(out) != 0 || std::ferror(out)) {
    std::fprintf(err, "tarvenox: write error on standard output\n");
    return sig ? 128 + sig : EXIT_SOME_FAILED;
  }
  if (sig) return 128 + sig;
  return failed == 0 ? EXIT_ALL_CONVERTED : EXIT_SOME_FAILED;
}
