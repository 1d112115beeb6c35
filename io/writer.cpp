// Writer driver: decides whether the song came from a tune, writes the generation's header
// and calls the chunk, material and instrument writers in the order of the target.
#include "io/writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "bytes/bytes.h"
#include "io/chunk_writers.h"
#include "io/loss_report.h"
#include "io/material_writer.h"
#include "io/qxi_writer.h"
#include "io/song_reader.h"
#include "project/events.h"
#include "project/project.h"

namespace {

constexpr const char* TUNE_MAGICS[4] = {"QXTUNE--20050608", "QXTUNE--20060115", "QXTUNE--20060930",
                                        "QXTUNE--20071119"};

struct WriteRun {
  Project& p;
  FILE* out;
  FILE* listing;
  int target;
  const TargetRow* row;
  int tune_input;
  int clock_divisor;
  bool listing_started;
};

int fail(Project& p, const char* text) {
  set_error_text(p, "%s", text);
  return 0;
}

int put_tag(WriteRun& w, const char* tag, const char* failure = "write code") {
  return write_tag(w.out, tag) ? 1 : fail(w.p, failure);
}

int put_header(WriteRun& w) {
  const char* magic = w.tune_input ? w.row->tune_magic : w.row->project_magic;
  if (std::fwrite(magic, 16, 1, w.out) != 1) return fail(w.p, "write fmt ver");
  if (w.row->exe_version == 0) return 1;
  if (!write_u16(w.out, static_cast<uint16_t>(w.row->exe_version))) {
    return fail(w.p, "write exe ver");
  }
  if (!write_u16(w.out, 0)) return fail(w.p, "write dummy");
  return 1;
}

Unit* unit_at(Project& p, int32_t i) {
  return static_cast<size_t>(i) < p.units.size() ? p.units[static_cast<size_t>(i)].get() : nullptr;
}

Woice* woice_at(Project& p, int32_t i) {
  return static_cast<size_t>(i) < p.woices.size() ? p.woices[static_cast<size_t>(i)].get()
                                                  : nullptr;
}

// Targets 1 to 5 tie unit i to woice i: a unit without its woice has nothing to play and
// the file could not be read back.
int check_unit_woices(WriteRun& w) {
  const int32_t units = unit_count(w.p);
  for (int32_t i = 0; i < units; ++i) {
    if (!woice_at(w.p, i)) {
      set_error_text(w.p, "unit %02d has no woice", static_cast<int>(i));
      return 0;
    }
  }
  return 1;
}

// What the reader of targets 1 to 5 will add to the keys of unit i (woice i's basic key).
int32_t unit_key_shift(WriteRun& w, int32_t i) {
  return old_generation_basic_key(*woice_at(w.p, i), w.target) - KEY_ORIGIN;
}

// Whether a beat clock or beat count goes into a field of type T unchanged: the readers
// refuse 0, and a value cut to the field's width would read back as another.
template <typename T>
bool field_holds(int64_t v) {
  return v != 0 && static_cast<int64_t>(static_cast<T>(v)) == v;
}

int write_x1x_project(WriteRun& w) {
  Project& p = w.p;
  if (!field_holds<uint16_t>(p.beat_clock / w.clock_divisor) ||
      !field_holds<uint16_t>(p.beat_num)) {
    return fail(p, "write project");
  }
  char name[16] = {};
  const std::string text = p.name_text ? *p.name_text : std::string("no name");
  std::memcpy(name, text.data(), std::min<size_t>(text.size(), sizeof name));
  const int ok = write_u32(w.out, 36) && std::fwrite(name, 16, 1, w.out) == 1 &&
                 write_f32(w.out, p.beat_tempo) &&
                 write_u16(w.out, static_cast<uint16_t>(p.beat_clock / w.clock_divisor)) &&
                 write_u16(w.out, static_cast<uint16_t>(p.beat_num)) && write_u16(w.out, 8) &&
                 write_u16(w.out, static_cast<uint16_t>(p.last_meas)) && write_u16(w.out, 2) &&
                 write_u16(w.out, 16) && write_u32(w.out, 44100);
  return ok ? 1 : fail(p, "write project");
}

int write_x1x(WriteRun& w) {
  Project& p = w.p;
  if (!put_header(w)) return 0;
  if (!put_tag(w, "PROJECT=") || !write_x1x_project(w)) return 0;
  if (!write_effects(p, w.out, w.row->overdrive_layout)) return 0;
  if (!create_woice_units(p) || !check_unit_woices(w)) return 0;
  const int32_t units = unit_count(p);
  for (int32_t s = 0; s < units; ++s) {
    const Unit* unit = unit_at(p, s);
    if (!unit) continue;
    if (!put_tag(w, "UNIT====")) return 0;
    char name[NAME_FIELD_SIZE] = {};
    std::memcpy(name, unit->name, static_cast<size_t>(std::clamp(unit->name_len, 0, 16)));
    if (!write_u32(w.out, 20) || std::fwrite(name, 16, 1, w.out) != 1 || !write_u16(w.out, 1) ||
        !write_u16(w.out, 0)) {
      return fail(p, "write unit");
    }
  }
  const int32_t woices = leading_woice_count(p);
  for (int32_t i = 0; i < woices; ++i) {
    if (!write_woice(p, w.out, *woice_at(p, i), w.row->old_noise_layout, w.target, i)) return 0;
  }
  const EventTally tally = tally_events(p);
  const EventGroups groups = group_events(p, tally);
  const EventTally lost = tally_lost_events(p, w.target);
  for (int32_t s = 0; s < units; ++s) {
    warn_unsupported_kinds(p, lost, s, w.row->kind_limit);
    if (!write_unit_events(p, w.out, groups, s, w.row->kind_limit, 1, w.clock_divisor,
                           unit_key_shift(w, s))) {
      return 0;
    }
  }
  return write_end(p, w.out, 1);
}

int write_master_chunk(WriteRun& w) {
  if (!put_tag(w, "evenMAST")) return 0;
  return write_master_events(w.p, w.out, w.clock_divisor) ? 1 : fail(w.p, "write master");
}

int write_x2x_x3x(WriteRun& w) {
  Project& p = w.p;
  if (!put_header(w) || !write_master_chunk(w)) return 0;
  if (!write_texts(p, w.out) || !write_effects(p, w.out, w.row->overdrive_layout)) return 0;
  if (!create_woice_units(p) || !check_unit_woices(w)) return 0;
  const int32_t units = unit_count(p);
  const EventTally tally = tally_events(p);
  const EventGroups groups = group_events(p, tally);
  const EventTally lost = tally_lost_events(p, w.target);
  for (int32_t i = 0; i < units; ++i) {
    const Unit* unit = unit_at(p, i);
    if (unit) {
      if (!put_tag(w, "qxsgUNIT")) return 0;
      const Woice* woice = woice_at(p, i);
      const uint32_t kind = woice->type == WOICE_OGG ? WOICE_PCM : woice->type;
      if (!write_u32(w.out, 4) || !write_u16(w.out, static_cast<uint16_t>(kind)) ||
          !write_u16(w.out, 0)) {
        return fail(p, "write unit");
      }
      if (!write_unit_name(p, w.out, w.tune_input, *unit, i)) return 0;
    }
    if (!write_woice(p, w.out, *woice_at(p, i), w.row->old_noise_layout, w.target, i)) return 0;
    warn_unsupported_kinds(p, lost, i, w.row->kind_limit);
    if (!write_unit_events(p, w.out, groups, i, w.row->kind_limit, 0, w.clock_divisor,
                           unit_key_shift(w, i))) {
      return 0;
    }
  }
  return write_end(p, w.out, 0);
}

int write_unit_num_chunk(WriteRun& w) {
  if (!put_tag(w, "num UNIT", "write unit num code")) return 0;
  return write_unit_num(w.out, unit_count(w.p)) ? 1 : fail(w.p, "write unit num");
}

int write_named_woices(WriteRun& w) {
  const int32_t woices = leading_woice_count(w.p);
  for (int32_t i = 0; i < woices; ++i) {
    Woice& woice = *woice_at(w.p, i);
    if (!write_woice(w.p, w.out, woice, w.row->old_noise_layout, w.target, 0)) return 0;
    if (!write_woice_name(w.p, w.out, w.tune_input, woice, i)) return 0;
  }
  return 1;
}

int write_x4x(WriteRun& w) {
  Project& p = w.p;
  if (!put_header(w) || !write_master_chunk(w)) return 0;
  if (!write_texts(p, w.out) || !write_effects(p, w.out, w.row->overdrive_layout)) return 0;
  if (!write_named_woices(w) || !write_unit_num_chunk(w)) return 0;
  const int32_t units = unit_count(p);
  const EventTally tally = tally_events(p);
  const EventGroups groups = group_events(p, tally);
  for (int32_t j = 0; j < units; ++j) {
    const Unit* unit = unit_at(p, j);
    if (unit && !write_unit_name(p, w.out, w.tune_input, *unit, j)) return 0;
    warn_unsupported_kinds(p, tally, j, w.row->kind_limit);
    if (!write_unit_events(p, w.out, groups, j, w.row->kind_limit, 0, w.clock_divisor)) return 0;
  }
  return write_end(p, w.out, 0);
}

int write_x5x(WriteRun& w) {
  Project& p = w.p;
  if (!put_header(w)) return 0;
  if (!field_holds<int16_t>(p.beat_clock / w.clock_divisor) || !field_holds<int8_t>(p.beat_num)) {
    return fail(p, "write master");
  }
  if (!put_tag(w, "MasterV5")) return 0;
  const auto c = static_cast<int16_t>(p.beat_clock / w.clock_divisor);
  const auto repeat = static_cast<uint32_t>(static_cast<int64_t>(c) * p.repeat_meas * p.beat_num);
  const auto last = static_cast<uint32_t>(static_cast<int64_t>(c) * p.last_meas * p.beat_num);
  if (!write_u32(w.out, 15) || !write_u16(w.out, static_cast<uint16_t>(c)) ||
      !write_u8(w.out, static_cast<uint8_t>(p.beat_num)) || !write_f32(w.out, p.beat_tempo) ||
      !write_u32(w.out, repeat) || !write_u32(w.out, last)) {
    return fail(p, "write master");
  }
  if (!put_tag(w, "Event V5")) return 0;
  if (!write_events_v5(p, w.out, w.clock_divisor)) return fail(p, "write master");
  if (!write_texts(p, w.out) || !write_effects(p, w.out, w.row->overdrive_layout)) return 0;
  if (!write_named_woices(w)) return 0;
  if (!write_unit_num_chunk(w)) return 0;
  const int32_t units = unit_count(p);
  for (int32_t j = 0; j < units; ++j) {
    const Unit* unit = unit_at(p, j);
    if (unit && !write_unit_name(p, w.out, w.tune_input, *unit, j)) return 0;
  }
  return write_end(p, w.out, 0);
}

int write_target(WriteRun& w) {
  w.row = target_row(w.target);
  if (!w.row) return fail(w.p, "Invalid format!");
  switch (w.row->writer) {
    case WRITER_X1X:
      return write_x1x(w);
    case WRITER_X2X_X3X:
      return write_x2x_x3x(w);
    case WRITER_X4X:
      return write_x4x(w);
    case WRITER_X5X:
      return write_x5x(w);
    case WRITER_QXI:
      w.listing_started = w.row->listing;
      return write_qxi_target(w.p, w.out, w.listing, w.target);
  }
  return fail(w.p, "Invalid format!");
}

}  // namespace

int write_output_streams(Project& p, FILE* out, FILE* listing, int target, bool* listing_started) {
  WriteRun w{p, out, listing, target, nullptr, 0, 1, false};
  for (const char* magic : TUNE_MAGICS) {
    if (std::memcmp(p.file_magic, magic, 16) == 0) w.tune_input = 1;
  }
  int result = 0;
  bool refused = false;
  if (w.tune_input) {
    // Only the newest tunes count 4800 clocks a beat; a tune already at an older editor's
    // resolution keeps its clocks, or every pass would cut them by ten again.
    w.clock_divisor = p.beat_clock > TUNE_OLD_BEAT_CLOCK ? TUNE_CLOCK_DIVISOR : 1;
    // A number past the table is refused as the newest targets are, one below it moves on
    // as x1x does: the tune test comes before the target's.
    const TargetRow* row = target_row(w.target);
    const TuneRule rule = row ? row->tunes : w.target > TARGET_COUNT ? TUNE_REFUSED : TUNE_MOVED_ON;
    if (rule == TUNE_REFUSED) {
      set_error_text(p, "deny beatclock");
      refused = true;
    } else if (rule == TUNE_MOVED_ON) {
      print_text(p, "\n* x1x format doesn't support QXTUNE. Converting to x2x format instead.\n");
      w.target = TARGET_X2X_MID_VOICE;
    }
  }
  if (!refused) {
    try {
      report_losses(p, w.target, w.tune_input, w.clock_divisor);
      result = write_target(w);
    } catch (const std::bad_alloc&) {
      result = fail(p, "out of memory");
    }
  }
  if (listing_started) *listing_started = w.listing_started;
  return result;
}
