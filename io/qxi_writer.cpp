// Instrument file body and listing. Only On, key, vel and vol survive, quantised to
// eighths of a beat. Every record byte is the low 8 bits of its number, so what a byte cannot
// hold is dealt with first: long gaps become several waits, and the tempo, note lengths and
// volumes are held within a byte.
#include "io/qxi_writer.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>

#include "bytes/bytes.h"
#include "io/chunk_writers.h"
#include "io/downgrade.h"
#include "platform/paths.h"
#include "project/events.h"
#include "project/project.h"

namespace {

enum QxiCommand : int {
  QXI_WAIT = 1,
  QXI_NOTE = 2,
  QXI_VOLUME = 3,
  QXI_KEY = 4,
  QXI_REPEAT = 5,
  QXI_LAST = 6
};

constexpr int32_t QXI_START_KEY = 0x6A00;
constexpr int32_t QXI_START_LEVEL = 104;

struct UnitPlayState {
  int32_t key = QXI_START_KEY;
  int32_t velocity = QXI_START_LEVEL;
  int32_t volume = QXI_START_LEVEL;
};

void listing_print(FILE* listing, const char* format, ...) __attribute__((format(printf, 2, 3)));
void listing_print(FILE* listing, const char* format, ...) {
  if (!listing) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(listing, format, args);
  va_end(args);
}

constexpr int64_t QXI_BYTE_MAX = 255;
constexpr int32_t QXI_NAN_TEMPO = 120;  // the Master's default tempo

// The tempo truncated toward zero and held within 1 to 255: the reader refuses a tempo byte
// of 0, and a wrapped byte would play at another speed.

// A volume byte is velocity x volume / 127 to the nearest (halves cannot occur): the reader
// scales a byte by 127 / 104 to the nearest, so a byte read and written again keeps its value.
int64_t level_product(int64_t velocity, int64_t volume) {
  const int64_t n = velocity * volume;
  return (n >= 0 ? n + 63 : n - 63) / 127;
}

int32_t wrap32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

struct QxiOut {
  Run* say;   // where the clamping lines go; nullptr: said already
  FILE* out;  // nullptr: the records are only counted
  FILE* listing;
  int records = 0;
  bool ok = true;
  bool length_clamped = false;
  bool volume_clamped = false;
  int64_t lengths_held = 0;
  int64_t volumes_held = 0;

  // A gap of `steps` ended by `command` (wait, repeat or last) with what remains of it; a
  // record holds at most 255 steps, so the rest goes first into waits of 255.
  void gap(int command, int64_t steps) {
    for (; steps > QXI_BYTE_MAX && ok; steps -= QXI_BYTE_MAX) record(0, QXI_WAIT, QXI_BYTE_MAX);
    record(0, command, steps);
  }

  // Note lengths and volumes above a byte are held at 255, said once per kind.
  int64_t held(int64_t value, bool& said, int64_t& count, const char* line) {
    if (value <= QXI_BYTE_MAX) return value;
    if (!said && say) print_text(*say, "%s", line);
    said = true;
    ++count;
    return QXI_BYTE_MAX;
  }
  int64_t note_length(int64_t steps) {
    return held(steps, length_clamped, lengths_held,
                "\n* clamped note lengths above 255 steps to 255");
  }
  int64_t volume(int64_t level) {
    return held(level, volume_clamped, volumes_held, "\n* clamped volumes above 255 to 255");
  }

  // `kind` names the event a note, volume or key record came from.
  void record(int unit, int command, int64_t value, int kind = EVENT_NONE) {
    const uint8_t b[3] = {static_cast<uint8_t>(unit), static_cast<uint8_t>(command),
                          static_cast<uint8_t>(value)};
    if (ok && out && std::fwrite(b, 1, 3, out) != 3) ok = false;
    ++records;
    if (!listing) return;
    switch (command) {
      case QXI_REPEAT:
        listing_print(listing, "%02d repeat\n", static_cast<int>(value));
        break;
      case QXI_WAIT:
        listing_print(listing, "%02d\n", static_cast<int>(value));
        break;
      case QXI_LAST:
        listing_print(listing, "%02d last\n", static_cast<int>(value));
        break;
      default:
        listing_print(listing, "\tunit: %02d, kind: %s v:%d\n", unit, EVENT_KIND_NAMES[kind & 15],
                      static_cast<int>(b[2]));
        break;
    }
  }
};

}  // namespace

int32_t qxi_tempo_byte(Run& run, const Song& p) {
  const float tempo = p.beat_tempo;
  if (std::isnan(tempo)) {
    record_change(run, "tempo", tempo, QXI_NAN_TEMPO);
    print_text(run, "\n* replaced tempo nan with %d", QXI_NAN_TEMPO);
    return QXI_NAN_TEMPO;
  }
  if (tempo >= 1.0f && tempo < 256.0f) return static_cast<int32_t>(tempo);
  const int32_t held = tempo < 1.0f ? 1 : static_cast<int32_t>(QXI_BYTE_MAX);
  record_change(run, "tempo", tempo, held);
  print_text(run, "\n* clamped tempo %g to %d", static_cast<double>(tempo), held);
  return held;
}

int write_qxi(Run* say, const Song& p, int32_t tempo, FILE* out, FILE* listing) {
  const int32_t div_clock = p.beat_clock / QXI_BEAT_DIVIDE;
  if (div_clock <= 0) return 0;
  UnitPlayState state[QXI_UNIT_NUM];
  const int32_t r = wrap32(static_cast<int64_t>(p.repeat_meas) * p.beat_clock * p.beat_num);
  const int32_t e = wrap32(static_cast<int64_t>(p.last_meas) * p.beat_clock * p.beat_num);

  const uint8_t head[2] = {static_cast<uint8_t>(tempo), QXI_BEAT_DIVIDE};
  if (out && std::fwrite(head, 1, 2, out) != 2) return 0;
  listing_print(listing, "beat-tempo : %d\n", static_cast<int>(tempo));
  listing_print(listing, "beat-divide: %d\n", QXI_BEAT_DIVIDE);
  listing_print(listing, "div-clock  : %d\n", static_cast<int>(div_clock));

  QxiOut q{say, out, listing};
  int64_t last_step = 0;
  // The repeat and last points stand in the stream at their own clocks: before the first
  // event past them, or at the end. (Written only where an event stands exactly on it, a
  // repeat was lost; written after every event, a last point before the final event went
  // back in time and wrapped.) A repeat at measure 0 is the default and is written only
  // where an event stands at clock 0, and a last point of 0 not at all.
  bool repeat_done = false;
  bool last_done = e <= 0;
  auto mark = [&](int command, int32_t at) {
    q.gap(command, (at - last_step) / div_clock);
    last_step = at;
  };
  auto marks_before = [&](int64_t clock) {
    const bool repeat_due = !repeat_done && (clock == r || (r > 0 && clock > r));
    if (!last_done && clock > e && (!repeat_due || e < r)) {
      mark(QXI_LAST, e);
      last_done = true;
    }
    if (repeat_due) {
      mark(QXI_REPEAT, r);
      repeat_done = true;
    }
    if (!last_done && clock > e) {
      mark(QXI_LAST, e);
      last_done = true;
    }
  };
  for (const Event& ev : p.events) {
    if (!q.ok) break;
    marks_before(ev.clock);
    // Most events share their clock with the one before: no division for those.
    const int64_t wait = ev.clock == last_step ? 0 : (ev.clock - last_step) / div_clock;
    if (wait > 0) {
      q.gap(QXI_WAIT, wait);
      last_step = ev.clock;
    }
    if (ev.unit_no >= QXI_UNIT_NUM) continue;
    UnitPlayState& s = state[ev.unit_no];
    int command = 0;
    int64_t value = 0;
    switch (ev.kind) {
      case EVENT_ON:
        command = QXI_NOTE;
        value = q.note_length(ev.value / div_clock);
        break;
      case EVENT_KEY:
        if (ev.value == s.key) continue;
        s.key = ev.value;
        command = QXI_KEY;
        value = ev.value / 256 - 66;
        break;
      case EVENT_VEL:
        if (ev.value == s.velocity) continue;
        value = q.volume(level_product(ev.value, s.volume));
        s.velocity = ev.value;
        command = QXI_VOLUME;
        break;
      case EVENT_VOL:
        if (ev.value == s.volume) continue;
        value = q.volume(level_product(s.velocity, ev.value));
        s.volume = ev.value;
        command = QXI_VOLUME;
        break;
      default:
        continue;
    }
    q.record(ev.unit_no, command, value, ev.kind);
  }
  if (q.ok) marks_before(INT64_MAX);
  if (!q.ok) return 0;
  if (say && q.lengths_held > 0) {
    record_loss(*say, LOSS_CLAMP, "note-lengths-held", q.lengths_held);
  }
  if (say && q.volumes_held > 0) {
    record_loss(*say, LOSS_CLAMP, "volumes-held", q.volumes_held);
  }
  listing_print(listing, "event num: %d\n", q.records);
  return 1;
}

std::string qxi_listing_path(const std::string& output_path) {
  std::string listing_path = output_path;
  path_remove_extension(listing_path);
  return listing_path + ".txt";
}

int write_qxi_target(Run& run, const Song& song, const TargetSong& t, FILE* out, FILE* listing,
                     bool records) {
  if (!t.row->listing) {
    listing = nullptr;
  } else if (!listing && records) {
    set_error_text(run, "open txt");
    return 0;
  }
  if (!out || (records && !write_qxi(nullptr, song, t.qxi_tempo, out, listing))) {
    set_error_text(run, "write qxi");
    return 0;
  }
  return 1;
}
