// Writer driver: writes the target's copy of the song, the generation's header and then the
// chunk, material and instrument writers in the order of the target.
#include "io/writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "bytes/bytes.h"
#include "io/chunk_writers.h"
#include "io/downgrade.h"
#include "io/material_writer.h"
#include "io/qxi_writer.h"
#include "io/song_reader.h"
#include "io/wav_writer.h"
#include "project/events.h"
#include "project/project.h"

namespace {

struct WriteRun {
  Run& run;
  const Song& song;
  const TargetSong& t;
  FILE* out;
  FILE* listing;
  bool listing_started;
  bool events;  // false: the event chunks are left out
};

int fail(Run& run, const char* text) {
  set_error_text(run, "%s", text);
  return 0;
}

int put_tag(WriteRun& w, const char* tag, const char* failure = "write code") {
  return write_tag(w.out, tag) ? 1 : fail(w.run, failure);
}

int put_header(WriteRun& w) {
  const char* magic = w.t.tune_input ? w.t.row->tune_magic : w.t.row->project_magic;
  if (std::fwrite(magic, 16, 1, w.out) != 1) return fail(w.run, "write fmt ver");
  if (w.t.row->exe_version == 0) return 1;
  if (!write_u16(w.out, static_cast<uint16_t>(w.t.row->exe_version))) {
    return fail(w.run, "write exe ver");
  }
  if (!write_u16(w.out, 0)) return fail(w.run, "write dummy");
  return 1;
}

// What the reader of targets 1 to 5 will add to the keys of unit i (woice i's basic key).
int32_t unit_key_shift(const WriteRun& w, int32_t i) {
  return old_generation_basic_key(*target_woice(w.t, i)->source, w.t.target) - KEY_ORIGIN;
}

// The target's event chunks, with the events its copy puts first; keys shifted where the
// reader of targets 1 to 5 shifts them.
EventChunks event_chunks(const WriteRun& w, int legacy_timing, bool key_shifts) {
  if (!w.events) return {};
  EventChunkRule rule;
  rule.kind_limit = w.t.row->kind_limit;
  rule.units = target_unit_count(w.t);
  rule.legacy_timing = legacy_timing;
  rule.clock_divisor = w.t.clock_divisor;
  for (int32_t i = 0; key_shifts && i < rule.units; ++i) {
    rule.key_shift.push_back(unit_key_shift(w, i));
  }
  return encode_event_chunks(w.song, w.t.head_events, std::move(rule));
}

int put_woice(WriteRun& w, int32_t i, int index) {
  return write_woice(w.run, w.out, *target_woice(w.t, i), w.t.row->old_noise_layout, w.t.target,
                     index);
}

int write_x1x_project(WriteRun& w) {
  const Song& p = w.song;
  const int d = w.t.clock_divisor;
  char name[16] = {};
  const std::string text = p.name_text ? *p.name_text : std::string("no name");
  std::memcpy(name, text.data(), std::min<size_t>(text.size(), sizeof name));
  const int ok = write_u32(w.out, 36) && std::fwrite(name, 16, 1, w.out) == 1 &&
                 write_f32(w.out, p.beat_tempo) &&
                 write_u16(w.out, static_cast<uint16_t>(p.beat_clock / d)) &&
                 write_u16(w.out, static_cast<uint16_t>(p.beat_num)) && write_u16(w.out, 8) &&
                 write_u16(w.out, static_cast<uint16_t>(p.last_meas)) && write_u16(w.out, 2) &&
                 write_u16(w.out, 16) && write_u32(w.out, 44100);
  return ok ? 1 : fail(w.run, "write project");
}

int write_x1x(WriteRun& w) {
  if (!put_header(w)) return 0;
  if (!put_tag(w, "PROJECT=") || !write_x1x_project(w)) return 0;
  if (!write_effects(w.run, w.song, w.out, w.t.row->overdrive_layout)) return 0;
  const int32_t units = target_unit_count(w.t);
  for (int32_t s = 0; s < units; ++s) {
    const Unit* unit = target_unit(w.t, s);
    if (!unit) continue;
    if (!put_tag(w, "UNIT====")) return 0;
    char name[NAME_FIELD_SIZE] = {};
    std::memcpy(name, unit->name, static_cast<size_t>(std::clamp(unit->name_len, 0, 16)));
    if (!write_u32(w.out, 20) || std::fwrite(name, 16, 1, w.out) != 1 || !write_u16(w.out, 1) ||
        !write_u16(w.out, 0)) {
      return fail(w.run, "write unit");
    }
  }
  const int32_t woices = target_leading_woice_count(w.t);
  for (int32_t i = 0; i < woices; ++i) {
    if (!put_woice(w, i, i)) return 0;
  }
  const EventChunks chunks = event_chunks(w, 1, true);
  for (int32_t s = 0; s < units; ++s) {
    if (w.events && !write_unit_events(w.run, w.out, chunks, s)) return 0;
  }
  return write_end(w.run, w.out, 1);
}

int write_master_chunk(WriteRun& w) {
  if (!put_tag(w, "evenMAST")) return 0;
  return write_master_events(w.song, w.out, w.t.clock_divisor) ? 1 : fail(w.run, "write master");
}

int write_x2x_x3x(WriteRun& w) {
  if (!put_header(w) || !write_master_chunk(w)) return 0;
  if (!write_texts(w.run, w.song, w.out) ||
      !write_effects(w.run, w.song, w.out, w.t.row->overdrive_layout)) {
    return 0;
  }
  const int32_t units = target_unit_count(w.t);
  const EventChunks chunks = event_chunks(w, 0, true);
  for (int32_t i = 0; i < units; ++i) {
    const Unit* unit = target_unit(w.t, i);
    if (unit) {
      if (!put_tag(w, "qxsgUNIT")) return 0;
      const uint32_t type = target_woice(w.t, i)->source->type;
      const uint32_t kind = type == WOICE_OGG ? WOICE_PCM : type;
      if (!write_u32(w.out, 4) || !write_u16(w.out, static_cast<uint16_t>(kind)) ||
          !write_u16(w.out, 0)) {
        return fail(w.run, "write unit");
      }
      if (!write_unit_name(w.run, w.out, w.t.tune_input, *unit, i)) return 0;
    }
    if (!put_woice(w, i, i)) return 0;
    if (w.events && !write_unit_events(w.run, w.out, chunks, i)) return 0;
  }
  return write_end(w.run, w.out, 0);
}

int write_unit_num_chunk(WriteRun& w) {
  if (!put_tag(w, "num UNIT", "write unit num code")) return 0;
  return write_unit_num(w.out, target_unit_count(w.t)) ? 1 : fail(w.run, "write unit num");
}

int write_named_woices(WriteRun& w) {
  const int32_t woices = target_leading_woice_count(w.t);
  for (int32_t i = 0; i < woices; ++i) {
    if (!put_woice(w, i, 0)) return 0;
    if (!write_woice_name(w.run, w.out, w.t.tune_input, target_woice(w.t, i)->woice(), i)) {
      return 0;
    }
  }
  return 1;
}

int write_x4x(WriteRun& w) {
  if (!put_header(w) || !write_master_chunk(w)) return 0;
  if (!write_texts(w.run, w.song, w.out) ||
      !write_effects(w.run, w.song, w.out, w.t.row->overdrive_layout)) {
    return 0;
  }
  if (!write_named_woices(w) || !write_unit_num_chunk(w)) return 0;
  const int32_t units = target_unit_count(w.t);
  const EventChunks chunks = event_chunks(w, 0, false);
  for (int32_t j = 0; j < units; ++j) {
    const Unit* unit = target_unit(w.t, j);
    if (unit && !write_unit_name(w.run, w.out, w.t.tune_input, *unit, j)) return 0;
    if (w.events && !write_unit_events(w.run, w.out, chunks, j)) return 0;
  }
  return write_end(w.run, w.out, 0);
}

int write_x5x(WriteRun& w) {
  const Song& p = w.song;
  if (!put_header(w)) return 0;
  if (!put_tag(w, "MasterV5")) return 0;
  const auto c = static_cast<int16_t>(p.beat_clock / w.t.clock_divisor);
  const auto repeat = static_cast<uint32_t>(static_cast<int64_t>(c) * p.repeat_meas * p.beat_num);
  const auto last = static_cast<uint32_t>(static_cast<int64_t>(c) * p.last_meas * p.beat_num);
  if (!write_u32(w.out, 15) || !write_u16(w.out, static_cast<uint16_t>(c)) ||
      !write_u8(w.out, static_cast<uint8_t>(p.beat_num)) || !write_f32(w.out, p.beat_tempo) ||
      !write_u32(w.out, repeat) || !write_u32(w.out, last)) {
    return fail(w.run, "write master");
  }
  if (!put_tag(w, "Event V5")) return 0;
  if (w.events && !write_events_v5(p, w.out, w.t.clock_divisor, w.t.head_events)) {
    return fail(w.run, "write master");
  }
  if (!write_texts(w.run, p, w.out) || !write_effects(w.run, p, w.out, w.t.row->overdrive_layout)) {
    return 0;
  }
  if (!write_named_woices(w)) return 0;
  if (!write_unit_num_chunk(w)) return 0;
  const int32_t units = target_unit_count(w.t);
  for (int32_t j = 0; j < units; ++j) {
    const Unit* unit = target_unit(w.t, j);
    if (unit && !write_unit_name(w.run, w.out, w.t.tune_input, *unit, j)) return 0;
  }
  return write_end(w.run, w.out, 0);
}

}  // namespace

int write_target(Run& run, const Song& song, const TargetSong& t, FILE* out, FILE* listing,
                 bool* listing_started, WriteParts parts) {
  WriteRun w{run, song, t, out, listing, false, parts == WRITE_WHOLE};
  int result = 0;
  try {
    switch (t.row->writer) {
      case WRITER_X1X:
        result = write_x1x(w);
        break;
      case WRITER_X2X_X3X:
        result = write_x2x_x3x(w);
        break;
      case WRITER_X4X:
        result = write_x4x(w);
        break;
      case WRITER_X5X:
        result = write_x5x(w);
        break;
      case WRITER_MIDI:
        // A MIDI file is its events: inspection leaves it all out.
        result = !w.events || write_midi(run, song, t.head_events, t.midi, out);
        break;
      case WRITER_WAV:
        // One stream holds the files one after another: for inspection, which only
        // measures. A folder is written by write_target_files.
        result = std::all_of(t.woices.begin(), t.woices.end(), [&](const TargetWoice& tw) {
          return !tw.source || tw.measured || write_wav(run, tw, out);
        });
        break;
      case WRITER_QXI:
        w.listing_started = t.row->listing && listing;
        result = write_qxi_target(run, song, t, out, w.events ? listing : nullptr, w.events);
        break;
    }
  } catch (const std::bad_alloc&) {
    result = fail(run, "out of memory");
  }
  if (listing_started) *listing_started = w.listing_started;
  return result;
}

int write_output_streams(Run& run, const Song& song, FILE* out, FILE* listing, int target,
                         bool* listing_started) {
  if (listing_started) *listing_started = false;
  TargetSong t;
  if (!downgrade_song(run, song, target, t)) {
    // Once the instrument file is under way its listing counts as begun, and is kept.
    if (listing_started && t.row) *listing_started = t.row->listing && listing;
    return 0;
  }
  return write_target(run, song, t, out, listing, listing_started);
}

int write_target_files(Run& run, const TargetSong& t, FileSink& sink) {
  try {
    for (size_t i = 0; i < t.woices.size(); ++i) {
      const TargetWoice& tw = t.woices[i];
      if (!tw.source) continue;
      FILE* out = sink.open(wav_file_name(static_cast<int>(i), tw.woice()));
      if (!out) return fail(run, "open file");
      const int written = write_wav(run, tw, out);
      if (!sink.close(out)) return written ? fail(run, "write file") : 0;
      if (!written) return 0;
    }
  } catch (const std::bad_alloc&) {
    return fail(run, "out of memory");
  }
  return 1;
}

int write_output_files(Run& run, const Song& song, int target, FileSink& sink) {
  TargetSong t;
  return downgrade_song(run, song, target, t) && write_target_files(run, t, sink);
}
