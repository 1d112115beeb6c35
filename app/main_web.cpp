// The browser's entry, called by the page's worker (web/worker.js). The worker writes each
// file it is given into the in-memory file system under /in; each call loads it into a
// fresh Project. A conversion's output goes into /out under the first free name of the
// dialogue's rules; the worker reads it back and empties it, so that the name stays taken
// for the files that follow.
#include <emscripten.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/convert.h"
#include "app/info.h"
#include "app/targets.h"
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

}  // namespace

extern "C" {

// The menu's labels of the eleven targets, as a JSON array.
EMSCRIPTEN_KEEPALIVE const char* tarvenox_labels() {
  nlohmann::json labels = nlohmann::json::array();
  for (const char* label : TARGET_LABELS) labels.push_back(label);
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

// Converts the file for `target` (1 to 11). Gives {"ok", "output", "listing" (target 11's
// text, or null), "lines", "error"}; "output" and "listing" name files in /out.
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
      FILE* out = std::fopen(out_path.c_str(), "wb");
      FILE* listing =
          target == TARGET_QXI_LISTING ? std::fopen(listing_path.c_str(), "wb") : nullptr;
      bool listing_started = false;
      int ok = out && (target != TARGET_QXI_LISTING || listing) &&
               write_output_streams(*p, out, listing, target, &listing_started);
      if (out && std::fclose(out) != 0) ok = 0;
      if (listing && std::fclose(listing) != 0) ok = 0;
      if (ok) {
        j["ok"] = true;
        j["output"] = out_path;
      } else {
        j["error"] = p->error_text[0] ? p->error_text : "the output could not be written";
        delete_file(out_path);
      }
      if (listing_started && (ok || target == TARGET_QXI_LISTING)) {
        j["listing"] = listing_path;
      } else if (target == TARGET_QXI_LISTING) {
        delete_file(listing_path);
      }
    }
  }
  j["lines"] = lines;
  return reply(j);
}

}  // extern "C"

int main() {
  return 0;
}
