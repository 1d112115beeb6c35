// The browser's entry, called by the page's worker (web/worker.js). The worker writes each
// file it is given into the in-memory file system under /in; each call loads it into a
// fresh Project. A conversion's output is named by the first free name in /out (the song
// generations' outputs with their tag: demo.x4x.qxprj, since downloads land beside the
// originals), where an empty file keeps the name taken for the files that follow; its
// bytes stay in this module's memory, where the worker makes the download of them without
// another copy, and frees them. A target written as a folder (13, the woices as WAV files)
// leaves an empty folder in /out under the name taken and hands over each file's bytes
// alike. Target 11's listing is a file in /out, which the worker reads back and empties.
#include <emscripten.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/convert.h"
#include "app/info.h"
#include "platform/paths.h"
#include "platform/streams.h"
#include "project/project.h"
#include "project/targets.h"

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

// A folder's files, each one's bytes handed over to the worker.
nlohmann::json folder_files(std::vector<MemoryFile>& files) {
  nlohmann::json list = nlohmann::json::array();
  for (MemoryFile& f : files) {
    const size_t size = f.memory->size();
    list.push_back({{"name", f.name},
                    {"data", reinterpret_cast<uintptr_t>(f.memory->release())},
                    {"size", size}});
  }
  return list;
}

}  // namespace

extern "C" {

// The menu's labels of every target, as a JSON array.
EMSCRIPTEN_KEEPALIVE const char* tarvenox_labels() {
  nlohmann::json labels = nlohmann::json::array();
  for (int target = 1; target <= TARGET_COUNT; ++target)
    labels.push_back(target_rule(target).label);
  return reply(labels);
}

// The inspection report of the file: its document of `tarvenox --info --json`'s "files".
EMSCRIPTEN_KEEPALIVE const char* tarvenox_info(const char* path) {
  try {
    g_reply = info_file_document(path);
  } catch (const std::bad_alloc&) {
    return reply({{"file", path}, {"loaded", false}, {"error", "out of memory"}});
  }
  return g_reply.c_str();
}

// Converts the file for `target` (1 to 13). Gives {"ok", "output", "data", "size",
// "files", "listing" (target 11's text, or null), "lines", "error"}: "output" is the
// output's name in /out, "data" the address of its "size" bytes, to be handed to
// tarvenox_free; "listing" names a file in /out. For a target written as a folder "output"
// names the folder and "files" holds its files in the order written, [{"name" (within the
// folder), "data", "size"}], each "data" to be handed to tarvenox_free; "data" and "size"
// are absent then.
// Downloads land beside the originals, so a song's output names its generation, which its
// extension does not tell: "demo.x4x.qxprj"; the other targets' extensions say what they
// are, and they keep the plain name: "demo.qxi", "demo.mid", "demo.woices".
EMSCRIPTEN_KEEPALIVE const char* tarvenox_convert(const char* path, int target) {
  auto p = std::make_unique<Project>();
  std::string lines;
  p->console = [&lines](std::string_view text) {
    lines.append(text);
    web_line(std::string(text).c_str());
  };
  nlohmann::json j = {{"ok", false}, {"output", nullptr}, {"listing", nullptr}, {"error", ""}};
  const TargetRow* row = target_row(target);
  const std::string name_template = row && writes_song(*row) ? "{stem}.{gen}" : "";
  std::vector<Conversion> done =
      convert_into_folder(*p, path, std::vector<uint8_t>{static_cast<uint8_t>(target)}, OUT_FOLDER,
                          {}, true, name_template);
  Conversion& c = done.front();
  switch (c.stage) {
    case CONVERT_DONE:
      j["ok"] = true;
      j["output"] = c.output_path;
      if (c.memory) {
        j["size"] = c.memory->size();
        j["data"] = reinterpret_cast<uintptr_t>(c.memory->release());
      } else {
        j["files"] = folder_files(c.files);
      }
      break;
    case CONVERT_SKIPPED:  // never asked for here
    case CONVERT_NO_NAME:
      j["error"] = "every name for " + path_find_file_name(c.output_path) + " is taken";
      break;
    case CONVERT_READ_FAILED:
      j["error"] = c.error;
      break;
    case CONVERT_WRITE_FAILED:
      j["error"] = c.error.empty() ? "the output could not be written" : c.error;
      break;
  }
  if (!c.listing_path.empty()) j["listing"] = c.listing_path;
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
