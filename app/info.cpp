// The inspection mode. Every answer comes from the program's own loading, downgrade step and
// writing: the overview and every target's outcome from one load, each target's copy written
// into a discarding stream, so the report says exactly what a conversion would do. The report is
// built as a JSON document first and the plain text is printed from it, so both forms always agree.
#include "app/info.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "app/convert.h"
#include "io/downgrade.h"
#include "io/file_header.h"
#include "io/open_input.h"
#include "io/writer.h"
#include "material/ogg.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "platform/paths.h"
#include "project/events.h"
#include "project/project.h"

namespace {

using Json = nlohmann::ordered_json;

// The shortest text that reads back as the same float, so 0.1f shows as 0.1 and not as
// the double nearest to it. (Found by precision rather than with std::to_chars, which the
// browser build's C++ library lacks for floats.)
double float_value(float f) {
  if (!std::isfinite(f)) return static_cast<double>(f);
  char text[32];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(f));
    if (std::strtof(text, nullptr) == f) return std::strtod(text, nullptr);
  }
  return static_cast<double>(f);
}

// A console line without its marks: "\n* " before information, "\n- WARNING: " before and
// " -" after a warning, and the line breaks around either.
std::string tidy_console_line(std::string_view line) {
  const auto blank = [](char c) { return c == '\n' || c == '\r' || c == ' '; };
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  while (!line.empty() && blank(line.back())) line.remove_suffix(1);
  for (std::string_view mark : {std::string_view("* "), std::string_view("- WARNING: ")}) {
    if (line.substr(0, mark.size()) == mark) {
      line.remove_prefix(mark.size());
      break;
    }
  }
  if (line.size() >= 2 && line.substr(line.size() - 2) == " -") line.remove_suffix(2);
  return std::string(line);
}

const char* woice_kind_name(uint32_t type) {
  switch (type) {
    case WOICE_PCM:
      return "PCM";
    case WOICE_QXVOICE:
      return "qxVoice";
    case WOICE_QXNOISE:
      return "qxNoise";
    case WOICE_OGG:
      return "OGG";
    default:
      return "none";
  }
}

// The material's size as the conversion lines count it.
int64_t material_bytes(const Woice& w) {
  switch (w.type) {
    case WOICE_PCM: {
      int64_t total = 0;
      for (const Voice& v : w.voices) {
        if (!v.pcm) continue;
        // Frames left in the input count as the bytes they take there.
        const PcmBuffer& pcm = *v.pcm;
        total += pcm.input ? static_cast<int64_t>(pcm.sample_num) * pcm.channels * (pcm.bits / 8)
                           : static_cast<int64_t>(pcm.samples.size());
      }
      return total;
    }
    case WOICE_QXVOICE:
      return qxvoice_body_size(w);
    case WOICE_QXNOISE:
      return !w.voices.empty() && w.voices[0].noise ? qxnoise_body_size(*w.voices[0].noise) : 0;
    case WOICE_OGG:
      return !w.voices.empty() && w.voices[0].ogg ? w.voices[0].ogg->size : 0;
    default:
      return 0;
  }
}

Json optional_text(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

// A value of a loss record: whole numbers as integers, floats as the text they read back
// from, a NaN tempo (which JSON cannot hold) as null.
Json loss_value(const std::optional<double>& v) {
  if (!v || std::isnan(*v)) return nullptr;
  if (std::trunc(*v) == *v && std::fabs(*v) < 9007199254740992.0) {
    return static_cast<int64_t>(*v);
  }
  const auto f = static_cast<float>(*v);
  return static_cast<double>(f) == *v ? float_value(f) : *v;
}

// The losses the downgrade step recorded, by kind, beside the notes that say them.
void describe_losses(const std::vector<LossRecord>& losses, Json& result) {
  Json kinds = Json::array(), materials = Json::array(), units = Json::array();
  Json clamps = Json::array(), not_written = Json::array();
  for (const LossRecord& r : losses) {
    switch (r.kind) {
      case LOSS_DROPPED_KIND:
        kinds.push_back({{"kind", r.what}, {"unit", r.index}, {"count", r.count}});
        break;
      case LOSS_MATERIAL:
        materials.push_back({{"woice", r.index},
                             {"name", r.name.value_or("")},
                             {"from", r.what},
                             {"to", "PCM"},
                             {"from_bytes", loss_value(r.from)},
                             {"to_bytes", loss_value(r.to)}});
        break;
      case LOSS_UNIT:
        units.push_back({{"unit", r.index}, {"name", optional_text(r.name)}, {"events", r.count}});
        break;
      case LOSS_CLAMP: {
        Json clamp = {{"what", r.what}, {"count", r.count}};
        if (r.name) clamp["name"] = *r.name;
        if (r.from || r.to) {
          clamp["from"] = loss_value(r.from);
          clamp["to"] = loss_value(r.to);
        }
        clamps.push_back(std::move(clamp));
        break;
      }
      case LOSS_NOT_WRITTEN:
        not_written.push_back({{"what", r.what}, {"count", r.count}});
        break;
    }
  }
  result["dropped_kinds"] = std::move(kinds);
  result["materials"] = std::move(materials);
  result["units_dropped"] = std::move(units);
  result["clamps"] = std::move(clamps);
  result["not_written"] = std::move(not_written);
}

// What the loaded Project holds.
void describe_song(const Project& p, Json& doc) {
  const MagicEntry* magic = find_magic(p.file_magic);
  // Only the instrument reader and the MIDI reader load files without a song magic.
  doc["kind"] = magic ? (magic->tune ? "tune" : "project") : p.instrument ? "instrument" : "midi";
  doc["generation"] = magic ? Json(magic->generation) : Json(nullptr);
  doc["master"] = {{"beat_clock", p.beat_clock},
                   {"beat_num", p.beat_num},
                   {"beat_tempo", float_value(p.beat_tempo)},
                   {"repeat_meas", p.repeat_meas},
                   {"last_meas", p.last_meas}};
  doc["measures"] = p.meas_num;
  doc["name"] = optional_text(p.name_text);
  doc["comment"] = optional_text(p.comment_text);

  Json units = Json::array();
  for (size_t i = 0; i < p.units.size(); ++i) {
    if (p.units[i]) units.push_back({{"index", i}, {"name", name_field_text(p.units[i]->name)}});
  }
  doc["units"] = units;

  Json woices = Json::array();
  for (size_t i = 0; i < p.woices.size(); ++i) {
    const Woice* w = p.woices[i].get();
    if (!w) continue;
    woices.push_back({{"index", i},
                      {"name", name_field_text(w->name)},
                      {"kind", woice_kind_name(w->type)},
                      {"voices", w->voice_num},
                      {"material_bytes", material_bytes(*w)}});
  }
  doc["woices"] = woices;

  Json delays = Json::array();
  for (size_t i = 0; i < p.delays.size(); ++i) {
    const Delay& d = p.delays[i];
    if (!d.in_use) continue;
    delays.push_back({{"index", i},
                      {"group", d.group},
                      {"delay_unit", d.delay_unit},
                      {"value_a", float_value(d.delay_value_a)},
                      {"value_b", float_value(d.delay_value_b)}});
  }
  doc["delays"] = delays;

  Json overdrives = Json::array();
  for (size_t i = 0; i < p.overdrives.size(); ++i) {
    const Overdrive& o = p.overdrives[i];
    if (!o.in_use) continue;
    overdrives.push_back({{"index", i},
                          {"group", o.group},
                          {"cut", float_value(o.cut)},
                          {"amp", float_value(o.amp)}});
  }
  doc["overdrives"] = overdrives;

  int64_t counts[EVENT_KIND_NUM] = {};
  for (const Event& e : p.events) {
    if (e.kind < EVENT_KIND_NUM) ++counts[e.kind];
  }
  Json events = Json::object();
  for (int k = EVENT_ON; k < EVENT_KIND_NUM; ++k) events[EVENT_KIND_NAMES[k]] = counts[k];
  doc["events"] = events;
}

// What a conversion of the loaded song to `target` would do: the downgrade step's lines and
// the write's outcome, written where nothing is kept. Materials are only measured, once for
// every target.
Json try_target(Project& p, int target, MaterialOutcomes& outcomes) {
  Json result = {{"target", target}, {"label", target_rule(target).label}};
  std::vector<std::string> notes;
  std::string error;
  p.console = [&notes](std::string_view line) {
    std::string note = tidy_console_line(line);
    if (!note.empty()) notes.push_back(std::move(note));
  };
  TargetSong t;
  if (!downgrade_song(p, p, target, t, DOWNGRADE_MEASURE, &outcomes)) {
    error = p.error_text;
  } else {
    FILE* out = open_discard_stream();
    const bool has_listing = target_rule(target).listing;
    FILE* listing = has_listing ? open_discard_stream() : nullptr;
    if (!out) {
      error = "open file";
    } else if (has_listing && !listing) {
      error = "open txt";
    } else if (!write_target(p, p, t, out, listing, nullptr, WRITE_WITHOUT_EVENTS)) {
      error = p.error_text;
    }
    if (out) std::fclose(out);
    if (listing) std::fclose(listing);
  }
  p.console = nullptr;
  result["ok"] = error.empty();
  if (!error.empty()) result["error"] = error;
  result["notes"] = notes;
  describe_losses(p.losses, result);
  return result;
}

Json describe_file(const std::string& path) {
  Json doc = {{"file", path}};
  Project p;
  try {
    int tune_flag = 0;
    // What loading says goes into the report, not between reports.
    std::vector<std::string> read_notes;
    p.console = [&read_notes](std::string_view line) {
      std::string note = tidy_console_line(line);
      if (!note.empty()) read_notes.push_back(std::move(note));
    };
    const int loaded = load_input(p, path, &tune_flag);
    p.console = nullptr;
    if (!loaded) {
      doc["loaded"] = false;
      doc["error"] = p.report_text;
      // The system's reason apart from the converter's text, when a system call failed.
      if (!p.error_reason.empty()) doc["reason"] = p.error_reason;
      return doc;
    }
    doc["loaded"] = true;
    describe_song(p, doc);
    doc["read_notes"] = read_notes;
  } catch (const std::bad_alloc&) {
    doc["loaded"] = false;
    doc["error"] = "out of memory.";
    return doc;
  }
  Json targets = Json::array();
  MaterialOutcomes outcomes;
  for (int target = 1; target <= TARGET_COUNT; ++target) {
    try {
      targets.push_back(try_target(p, target, outcomes));
    } catch (const std::bad_alloc&) {
      p.console = nullptr;
      Json failed = {{"target", target},
                     {"label", target_rule(target).label},
                     {"ok", false},
                     {"error", "out of memory"},
                     {"notes", Json::array()}};
      describe_losses({}, failed);
      targets.push_back(std::move(failed));
    }
  }
  doc["targets"] = targets;
  return doc;
}

// Texts from the file are shown on one line: control characters appear as escapes.
std::string printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string text_or_none(const Json& value) {
  return value.is_null() ? "(none)" : printable(value.get<std::string>());
}

std::string number(const Json& value) {
  return value.dump();
}

void print_plain(const Json& doc, FILE* out) {
  std::fprintf(out, "%s\n", printable(doc["file"].get<std::string>()).c_str());
  if (!doc["loaded"].get<bool>()) {
    const std::string reason =
        doc.contains("reason") ? " (" + doc["reason"].get<std::string>() + ")" : "";
    std::fprintf(out, "  << Error reading file: %s%s >>\n\n",
                 printable(doc["error"].get<std::string>()).c_str(), reason.c_str());
    return;
  }
  const std::string kind = doc["kind"].get<std::string>();
  if (kind == "instrument") {
    std::fprintf(out, "  kind        instrument file\n");
  } else if (kind == "midi") {
    std::fprintf(out, "  kind        Standard MIDI File\n");
  } else {
    const int generation = doc["generation"].get<int>();
    std::fprintf(out, "  kind        %s, generation %d (x%dx)\n", kind.c_str(), generation,
                 generation);
  }
  for (const Json& note : doc["read_notes"]) {
    std::fprintf(out, "  read        %s\n", printable(note.get<std::string>()).c_str());
  }
  const Json& m = doc["master"];
  std::fprintf(out,
               "  master      beat clock %s, beats per measure %s, tempo %s, repeat measure %s, "
               "last measure %s\n",
               number(m["beat_clock"]).c_str(), number(m["beat_num"]).c_str(),
               number(m["beat_tempo"]).c_str(), number(m["repeat_meas"]).c_str(),
               number(m["last_meas"]).c_str());
  std::fprintf(out, "  measures    %s\n", number(doc["measures"]).c_str());
  std::fprintf(out, "  name        %s\n", text_or_none(doc["name"]).c_str());
  std::fprintf(out, "  comment     %s\n", text_or_none(doc["comment"]).c_str());

  std::fprintf(out, "  units       %zu\n", doc["units"].size());
  for (const Json& u : doc["units"]) {
    const std::string name = u["name"].get<std::string>();
    std::fprintf(out, "    %02d  %s\n", u["index"].get<int>(),
                 name.empty() ? "(no name)" : printable(name).c_str());
  }
  std::fprintf(out, "  woices      %zu\n", doc["woices"].size());
  for (const Json& w : doc["woices"]) {
    const int voices = w["voices"].get<int>();
    const Json& bytes = w["material_bytes"];
    std::fprintf(out, "    %02d  %-16s  %-7s  %d voice%s, %s byte%s\n", w["index"].get<int>(),
                 printable(w["name"].get<std::string>()).c_str(),
                 w["kind"].get<std::string>().c_str(), voices, voices == 1 ? "" : "s",
                 number(bytes).c_str(), bytes == 1 ? "" : "s");
  }
  std::fprintf(out, "  delays      %zu\n", doc["delays"].size());
  for (const Json& d : doc["delays"]) {
    std::fprintf(out, "    %d  group %s, delay unit %s, values %s and %s\n", d["index"].get<int>(),
                 number(d["group"]).c_str(), number(d["delay_unit"]).c_str(),
                 number(d["value_a"]).c_str(), number(d["value_b"]).c_str());
  }
  std::fprintf(out, "  overdrives  %zu\n", doc["overdrives"].size());
  for (const Json& o : doc["overdrives"]) {
    std::fprintf(out, "    %d  group %s, cut %s, amp %s\n", o["index"].get<int>(),
                 number(o["group"]).c_str(), number(o["cut"]).c_str(), number(o["amp"]).c_str());
  }

  int64_t total = 0;
  std::string counts;
  for (const auto& [name, count] : doc["events"].items()) {
    const int64_t n = count.get<int64_t>();
    if (n == 0) continue;
    total += n;
    counts += (counts.empty() ? "" : ", ") + name + " " + std::to_string(n);
  }
  std::fprintf(out, "  events      %lld\n", static_cast<long long>(total));
  if (!counts.empty()) std::fprintf(out, "    %s\n", counts.c_str());

  std::fprintf(out, "  targets\n");
  for (const Json& t : doc["targets"]) {
    const std::string outcome =
        t["ok"].get<bool>() ? "converts" : "fails: " + printable(t["error"].get<std::string>());
    std::fprintf(out, "    %2d  %-39s  %s\n", t["target"].get<int>(),
                 t["label"].get<std::string>().c_str(), outcome.c_str());
    for (const Json& note : t["notes"]) {
      std::fprintf(out, "          %s\n", printable(note.get<std::string>()).c_str());
    }
  }
  std::fprintf(out, "\n");
}

// Names and comments of old files need not be UTF-8; they must not stop the report.
std::string document_text(const Json& doc) {
  return doc.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

int run_info(const std::vector<std::string>& files, bool json, FILE* out) {
  int status = 0;
  // One document for the run, each file's on a line of its own inside it, printed as soon
  // as that file is done.
  if (json) std::fprintf(out, "{\"version\":%d,\"files\":[", INFO_JSON_VERSION);
  for (size_t i = 0; i < files.size(); ++i) {
    const Json doc = describe_file(files[i]);
    if (!doc["loaded"].get<bool>()) status = 1;
    if (json) {
      std::fprintf(out, "%s\n%s", i == 0 ? "" : ",", document_text(doc).c_str());
    } else {
      print_plain(doc, out);
    }
    std::fflush(out);
  }
  if (json) std::fprintf(out, "\n]}\n");
  std::fflush(out);
  return status;
}

std::string info_file_document(const std::string& path) {
  return document_text(describe_file(path));
}
