// Opening an input file: a ".mid" or ".midi" file goes to the MIDI reader; a song of any
// generation goes through the event pre-count and the song reader; any other file is checked
// and read as an instrument file.
#include "io/open_input.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "io/file_header.h"
#include "io/midi_reader.h"
#include "io/qxi_reader.h"
#include "io/song_reader.h"
#include "platform/input_file.h"
#include "platform/paths.h"
#include "project/project.h"

namespace {

constexpr int32_t SONG_UNIT_CAPACITY = 50;

// An empty Project, with the event store emptied as well.
void clear_loaded(Project& p) {
  project_clear(p);
  events_clear(p);
}

int open_song(Project& p, ByteSource& s, int* tune_flag) {
  // The pre-count reads the entries of the newest generation's event chunk once for both.
  EventsReadAhead ahead;
  const int32_t count = count_events(p, s, &ahead);
  if (count <= 0) {
    p.report_text = "Can't read event";
    return 0;
  }
  if (!source_seek(s, 0, SEEK_SET)) {
    p.report_text = "Can't read event";
    return 0;
  }
  units_release(p);
  events_release(p);
  if (!events_allocate(p, count)) {
    p.report_text = "Initialize events";
    return 0;
  }
  if (!units_allocate(p, SONG_UNIT_CAPACITY)) {
    p.report_text = "Initialize units";
    return 0;
  }
  if (!read_song(p, s, tune_flag, &ahead)) {
    p.report_text = p.error_text;
    return 0;
  }
  return 1;
}

// The tempo the two header bytes give must be finite; the value itself is not kept.
bool instrument_tempo_valid(uint8_t tempo, uint8_t divide) {
  const float s = std::trunc((60.0f / static_cast<float>(divide * tempo)) * 60.0f);
  const float beat_tempo = 3600.0f / (s * static_cast<float>(divide));
  return std::isfinite(beat_tempo);
}

int open_instrument(Project& p, ByteSource& s, const std::string& path) {
  uint8_t head[2];
  if (!source_seek(s, 0, SEEK_SET) || !read_bytes(head, 2, 1, s)) {
    set_error_text(p, "read.");
  } else if (head[0] == 0 || head[1] == 0 || head[1] > '0') {
    set_error_text(p, "Invalid file!");
  } else if (!instrument_tempo_valid(head[0], head[1])) {
    set_error_text(p, "inv-beat tempo");
  } else {
    clear_loaded(p);
    if (!source_seek(s, 0, SEEK_SET) || !read_instrument(p, s, path)) {
      p.report_text = p.error_text;
      return 0;
    }
    const int64_t master_end =
        static_cast<int64_t>(p.beat_num) * p.beat_clock * static_cast<int64_t>(p.last_meas);
    const int64_t end = std::max<int64_t>(events_summarise(p).end_clock, master_end);
    meas_num_update(p, static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX)));
    return 1;
  }
  p.report_text = p.error_text;
  return 0;
}

// A MIDI file is known by its extension, and must start as one: whatever else such a file
// holds is refused, never taken for a song or an instrument file.
int open_midi(Project& p, ByteSource& s) {
  uint8_t id[4];
  if (!read_bytes(id, sizeof id, 1, s) || std::memcmp(id, "MThd", sizeof id) != 0) {
    set_error_text(p, "not a MIDI file");
  } else if (!source_seek(s, 0, SEEK_SET)) {
    set_error_text(p, "read.");
  } else {
    clear_loaded(p);
    if (read_midi(p, s)) return 1;
  }
  p.report_text = p.error_text;
  return 0;
}

// Whether the source starts as a MIDI file; the source is moved back to its start.
bool starts_as_midi(ByteSource& s) {
  char id[4];
  const bool midi = read_bytes(id, sizeof id, 1, s) && std::memcmp(id, "MThd", sizeof id) == 0;
  return source_seek(s, 0, SEEK_SET) && midi;
}

}  // namespace

int open_input(Project& p, const std::string& path, int* tune_flag, InputKindBy kind_by) {
  // Only a regular file holds a song: a folder has none, and a pipe or a device may block
  // or never end.
  p.error_reason.clear();
  std::shared_ptr<InputFile> in = open_input_file(path, &p.error_reason);
  if (!in) {
    p.report_text = "File not found!";
    return 0;
  }
  // PCM bodies may stay in the file: the woices keep it open for as long as they need it.
  p.loading = in;
  ByteSource s = source_from_file(in->file);
  int ok = 0;
  try {
    int generation = 0;
    const bool midi = kind_by == KIND_BY_BYTES ? starts_as_midi(s) : midi_extension(path);
    const int is_song = !midi && read_file_header(p, s, &generation, nullptr);
    if (midi) {
      ok = open_midi(p, s);
    } else if (!source_seek(s, 0, SEEK_SET)) {
      set_error_text(p, "read.");
      p.report_text = p.error_text;
    } else if (is_song) {
      ok = open_song(p, s, tune_flag);
    } else {
      // An instrument file takes its song's name from its file's: standard input has none.
      ok = open_instrument(p, s, kind_by == KIND_BY_BYTES ? std::string("stdin") : path);
    }
  } catch (const std::bad_alloc&) {
    p.report_text = "out of memory.";
    ok = 0;
  }
  // Whatever failed, nothing half-read stays behind.
  p.loading.reset();
  if (!ok) clear_loaded(p);
  return ok;
}
