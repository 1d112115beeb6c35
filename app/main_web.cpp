// The browser's entry, called by the page's worker (web/worker.js). The worker writes each
// file it is given into the in-memory file system under /in; each call loads it into a
// fresh Project. A conversion's output is named by the first free name of the dialogue's
// rules in /out, where an empty file keeps the name taken for the files that follow; its
// bytes stay in this module's memory, where the worker makes the download of them without
// another copy, and frees them. Target 11's listing is a file in /out, which the worker
// reads back and empties.
#include <emscripten.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/convert.h"
#include "app/info.h"
#include "io/open_input.h"
#include "io/qxi_writer.h"
#include "io/writer.h"
#include "platform/paths.h"
#include "platform/streams.h"
#include "project/project.h"

// Hands each conversion line to the page as it is printed.
EM_JS(void, web_line, (const char* text), {
  if (Module["onLine"]) Module["onLine"](UTF8ToString(text));
});

namespace {

constexpr const char* OUT_FOLDER = "/out";

std::string g_reply;  // what the last call returns, kept until the next

const char* reply(const nlohmann::json& j) {
  g_reply = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return g_reply.c_str();
}

// The output, written into this module's memory: in the file system it would be moved whole
// each time it grows, and copied once more to leave it. An output is mostly about its
// input's size (the woices pass through), a few header bytes more or less: room for an
// eighth more than `reserve` is taken at once, and doubled when short, so that a large
// output is seldom moved. Room never written costs no memory.
class OutputBuffer {
 public:
  explicit OutputBuffer(size_t reserve) {
    const size_t room = reserve + reserve / 8 + 65536;
    data_ = static_cast<char*>(std::malloc(room));
    capacity_ = data_ ? room : 0;
    const cookie_io_functions_t io = {nullptr, write, seek, nullptr};
    if (data_) file_ = fopencookie(this, "wb", io);
  }
  ~OutputBuffer() {
    if (file_) std::fclose(file_);
    std::free(data_);
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // nullptr when there was no room.
  FILE* file() const { return file_; }
  // Writes out what the stream holds; false when a write found no room.
  bool finish() {
    const bool ok = file_ && std::fclose(file_) == 0 && !failed_;
    file_ = nullptr;
    return ok;
  }
  size_t size() const { return size_; }
  // Hands the bytes over, to be freed with std::free.
  char* release() {
    char* d = data_;
    data_ = nullptr;
    return d;
  }

 private:
  static ssize_t write(void* cookie, const char* bytes, size_t n) {
    auto& b = *static_cast<OutputBuffer*>(cookie);
    if (b.position_ + n > b.capacity_) {
      const size_t wanted = std::max(b.position_ + n, b.capacity_ * 2);
      char* grown = static_cast<char*>(std::realloc(b.data_, wanted));
      if (!grown) {
        b.failed_ = true;
        return -1;
      }
      b.data_ = grown;
      b.capacity_ = wanted;
    }
    // A seek past the end leaves a gap of zeros, as in a file.
    if (b.position_ > b.size_) std::memset(b.data_ + b.size_, 0, b.position_ - b.size_);
    std::memcpy(b.data_ + b.position_, bytes, n);
    b.position_ += n;
    b.size_ = std::max(b.size_, b.position_);
    return static_cast<ssize_t>(n);
  }

  static int seek(void* cookie, off_t* offset, int whence) {
    auto& b = *static_cast<OutputBuffer*>(cookie);
    const off_t from = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<off_t>(b.position_)
                                            : static_cast<off_t>(b.size_);
    if (*offset < -from) return -1;
    b.position_ = static_cast<size_t>(from + *offset);
    *offset = static_cast<off_t>(b.position_);
    return 0;
  }

  FILE* file_ = nullptr;
  char* data_ = nullptr;  // from malloc
  size_t capacity_ = 0;
  size_t size_ = 0;
  size_t position_ = 0;
  bool failed_ = false;
};

size_t file_size(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
}

}  // namespace

extern "C" {

// The menu's labels of the eleven targets, as a JSON array.
EMSCRIPTEN_KEEPALIVE const char* tarvenox_labels() {
  nlohmann::json labels = nlohmann::json::array();
  for (int target = 1; target <= TARGET_COUNT; ++target)
    labels.push_back(target_rule(target).label);
  return reply(labels);
}

// The inspection report of the file, as `tarvenox --info --json` gives it.
EMSCRIPTEN_KEEPALIVE const char* tarvenox_info(const char* path) {
  MemoryStream s;
  if (!s.file()) return reply({{"file", path}, {"loaded", false}, {"error", "out of memory"}});
  run_info({path}, true, s.file());
  if (!s.finish()) return reply({{"file", path}, {"loaded", false}, {"error", "out of memory"}});
  g_reply.assign(s.data(), s.size());
  while (!g_reply.empty() && g_reply.back() == '\n') g_reply.pop_back();
  return g_reply.c_str();
}

// Converts the file for `target` (1 to 11). Gives {"ok", "output", "data", "size",
// "listing" (target 11's text, or null), "lines", "error"}: "output" is the output's name in
// /out, "data" the address of its "size" bytes, to be handed to tarvenox_free; "listing"
// names a file in /out.
EMSCRIPTEN_KEEPALIVE const char* tarvenox_convert(const char* path, int target) {
  auto p = std::make_unique<Project>();
  std::string lines;
  p->console = [&lines](std::string_view text) {
    lines.append(text);
    web_line(std::string(text).c_str());
  };
  nlohmann::json j = {{"ok", false}, {"output", nullptr}, {"listing", nullptr}, {"error", ""}};
  const char* failure = nullptr;
  int tune_flag = 0;
  if (!project_prepare(*p, &failure)) {
    j["error"] = failure ? failure : "";
  } else if (!open_input(*p, path, static_cast<uint8_t>(target), &tune_flag)) {
    j["error"] = p->report_text;
  } else {
    const auto names = output_names(OUT_FOLDER, path, static_cast<uint8_t>(target), tune_flag);
    size_t first = 0;
    while (first < names.size() && !output_name_free(names[first], static_cast<uint8_t>(target))) {
      ++first;
    }
    if (first == names.size()) {
      j["error"] = "every name for " + path_find_file_name(names[0]) + " is taken";
    } else {
      const std::string out_path = names[first];
      const std::string listing_path = qxi_listing_path(out_path);
      OutputBuffer out(file_size(path));
      FILE* name_taken = std::fopen(out_path.c_str(), "wb");
      const bool has_listing = target_rule(target).listing;
      FILE* listing = has_listing ? std::fopen(listing_path.c_str(), "wb") : nullptr;
      bool listing_started = false;
      int ok = out.file() && name_taken && (!has_listing || listing) &&
               write_output_streams(*p, out.file(), listing, target, &listing_started);
      if (!out.finish()) ok = 0;
      if (name_taken && std::fclose(name_taken) != 0) ok = 0;
      if (listing && std::fclose(listing) != 0) ok = 0;
      if (ok) {
        j["ok"] = true;
        j["output"] = out_path;
        j["size"] = out.size();
        j["data"] = reinterpret_cast<uintptr_t>(out.release());
      } else {
        j["error"] = p->error_text[0] ? p->error_text : "the output could not be written";
        delete_file(out_path);
      }
      if (listing_started && (ok || has_listing)) {
        j["listing"] = listing_path;
      } else if (has_listing) {
        delete_file(listing_path);
      }
    }
  }
  j["lines"] = lines;
  return reply(j);
}

// Frees the output bytes that tarvenox_convert gave.
EMSCRIPTEN_KEEPALIVE void tarvenox_free(void* data) {
  std::free(data);
}

}  // extern "C"

int main() {
  return 0;
}
