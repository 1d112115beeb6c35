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
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/staged_file.h"
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

// The conversion lines as the dialogue prints them, one to a line, then the result line.
std::string file_report(const std::string& input_path, const Conversion& c,
                        const std::string& lines, size_t number, size_t total) {
  const std::string input = one_line(input_path);
  const std::string output = one_line(c.output_path);
  std::string text;
  size_t start = 0;
  while (start <= lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    if (end > start) text += "  " + lines.substr(start, end - start) + "\n";
    start = end + 1;
  }
  if (total > 1) text += "[" + std::to_string(number) + "/" + std::to_string(total) + "] ";
  // The system's reason, when there is one, after the converter's own text.
  const std::string reason = c.reason.empty() ? "" : " (" + c.reason + ")";
  switch (c.stage) {
    case CONVERT_DONE:
      text += input + " -> " + output;
      break;
    case CONVERT_READ_FAILED:
      text += input + ": Error reading file: " + c.error + reason;
      break;
    case CONVERT_NO_NAME:
      text += input + ": Error: failure creating file in path: " + output;
      break;
    case CONVERT_WRITE_FAILED:
      text += input + ": Error converting file: " + c.error + reason;
      break;
    case CONVERT_SKIPPED:
      text += input + ": skipped, " + output + " exists";
      break;
  }
  return text + "\n";
}

struct Finished {
  std::string text;
  bool converted = false;
  bool skipped = false;
  bool ready = false;
};

}  // namespace

std::vector<std::string> expand_input(const std::string& argument) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(argument, ec)) return {argument};
  std::vector<std::string> names;
  for (fs::directory_iterator it(argument, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    const std::string name = it->path().filename().string();
    if (it->is_regular_file(type_ec) && has_input_extension(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name = path_join(argument, name);
  return names;
}

int run_batch(const BatchOptions& options, FILE* out, FILE* err) {
  if (!target_row(options.target)) {
    std::fprintf(err, "tarvenox: the target must be a number from 1 to %d\n", TARGET_COUNT);
    return EXIT_USAGE;
  }
  std::string dir = options.output_dir;
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
  std::vector<std::string> files;
  for (const std::string& argument : options.files) {
    for (std::string& f : expand_input(argument)) files.push_back(std::move(f));
  }
  if (files.empty()) {
    std::fprintf(err, "tarvenox: no song, tune or instrument file to convert\n");
    return EXIT_USAGE;
  }

  const size_t total = files.size();
  const auto target = static_cast<uint8_t>(options.target);
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
    bool turn_taken = false;
    const NamingTurn turn = [&](const std::function<void()>& name_it) {
      take_turn();
      turn_taken = true;
      name_it();
    };
    std::string lines;
    Conversion c;
    try {
      Project p;
      p.console = [&lines](std::string_view text) { lines.append(text); };
      const std::string folder = dir.empty() ? folder_of(files[i]) : dir;
      c = convert_into_folder(p, files[i], target, folder, turn, false, options.naming);
    } catch (const std::bad_alloc&) {
      c.stage = CONVERT_WRITE_FAILED;
      c.error = "out of memory";
    }
    if (!turn_taken) take_turn();
    std::lock_guard<std::mutex> lock(mutex);
    ++naming_turn;
    // Names from files and folders could otherwise send commands to a terminal.
    finished[i].text = terminal_safe_text(file_report(files[i], c, lines, i + 1, total));
    finished[i].converted = c.stage == CONVERT_DONE;
    finished[i].skipped = c.stage == CONVERT_SKIPPED;
    finished[i].ready = true;
    changed.notify_all();
  };

  const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(options.jobs, 1)), 1, total);
  std::vector<std::thread> workers;
  for (size_t j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      for (size_t i = next_file++; i < total; i = next_file++) convert_one(i);
    });
  }
  size_t converted = 0;
  size_t skipped = 0;
  for (size_t i = 0; i < total; ++i) {
    std::string text;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return finished[i].ready; });
      text.swap(finished[i].text);
      converted += finished[i].converted ? 1 : 0;
      skipped += finished[i].skipped ? 1 : 0;
    }
    std::fputs(text.c_str(), out);
    std::fflush(out);
  }
  for (std::thread& w : workers) w.join();
  // A file skipped because its output is there counts as done.
  const size_t failed = total - converted - skipped;
  if (total > 1 && skipped > 0) {
    std::fprintf(out, "converted %zu of %zu, %zu skipped, %zu failed\n", converted, total, skipped,
                 failed);
  } else if (total > 1) {
    std::fprintf(out, "converted %zu of %zu, %zu failed\n", converted, total, failed);
  }
  return failed == 0 ? EXIT_ALL_CONVERTED : EXIT_SOME_FAILED;
}
