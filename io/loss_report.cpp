// The loss lines of a conversion. Each compares what the song holds with what the target's
// output gives back when read again, so that a line appears where something is lost and
// nowhere else.
#include "io/loss_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "bytes/bytes.h"
#include "io/qxi_reader.h"
#include "io/qxi_writer.h"
#include "io/song_reader.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"

namespace {

constexpr size_t X1X_NAME_MAX = 16;

bool instrument_target(int target) {
  return target_rule(target).writer == WRITER_QXI;
}

std::string counted(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void loss_line(Run& run, int target, const std::string& what) {
  print_text(run, "\n* %s: %s", target_rule(target).family, what.c_str());
}

// The records of the lines, for scripts: what is left out, and what is changed to fit.
void not_written(Run& run, const char* what, int64_t count = 1) {
  record_loss(run, LOSS_NOT_WRITTEN, what, count);
}

void clamped(Run& run, const char* what, int64_t count) {
  record_loss(run, LOSS_CLAMP, what, count);
}

void changed(Run& run, const char* what, double from, double to) {
  record_change(run, what, from, to);
}

// The name a reader gives a table entry that the file does not name.
bool default_name(const char (&name)[NAME_FIELD_SIZE], const char* format, size_t index) {
  char text[NAME_FIELD_SIZE + 1] = {};
  std::snprintf(text, sizeof text, format, static_cast<int>(index));
  return name_field_text(name) == text;
}

void report_song_name_loss(Run& run, const Song& p, int target) {
  if (!p.name_text || p.name_text->empty()) return;
  not_written(run, "song-name");
  loss_line(run, target, "song name not written");
}

void report_comment_loss(Run& run, const Song& p, int target) {
  if (!p.comment_text || p.comment_text->empty()) return;
  not_written(run, "comment");
  loss_line(run, target, "comment not written");
}

// The units the output holds events for, where it writes them unit by unit: those made for
// woices included where units are tied to woices. -1 where every event is kept (x5x) or
// units are a fixed six (the instrument file).
int64_t units_written(const Song& p, int target) {
  const TargetRow& row = target_rule(target);
  const int64_t units = unit_count(p);
  if (row.writer == WRITER_X5X || row.writer == WRITER_QXI || row.writer == WRITER_MIDI) return -1;
  return row.units_tied_to_woices ? std::max<int64_t>(units, leading_woice_count(p)) : units;
}

// What one walk over the events finds for the key-range and unit lines, and the tally of the
// events the target loses for the downgrade step.
struct EventSurvey {
  int64_t keys_held = 0;          // keys of clock 0 or later beyond what x1x to x3x hold
  int64_t units_lost = 0;         // events of units the output does not have
  int64_t unit_events[256] = {};  // of the units the output does not have
};

// From the song's event summary (made here when the song keeps none): the tally of every
// event by unit and kind, the keys the old generations' readers hold in range and, where
// units are tied to woices, the events played otherwise. Lost units and the tally of lost
// events follow from those.
EventSurvey survey_events(const Song& p, int target, bool keys, EventTally* lost) {
  EventSurvey s;
  const int64_t written = units_written(p, target);
  const bool instrument = instrument_target(target);
  // Where every unit is written, no event is lost.
  const bool units = instrument || written >= 0;
  if (!keys && !units && !lost) return s;
  EventSummary made;
  const EventSummary& summary = events_summary_of(p, made);
  const uint32_t* count = summary.count.data();
  s.keys_held = keys ? summary.keys_out_of_range : 0;
  for (size_t u = 0; units && u < 256; ++u) {
    int64_t n = 0;
    for (int k = EVENT_ON; k < EVENT_KIND_NUM; ++k) n += count[u * EVENT_KIND_NUM + k];
    // Units 6 and above that exist are warned about on their own.
    const bool gone = instrument ? u >= QXI_UNIT_NUM && (u >= p.units.size() || !p.units[u])
                                 : static_cast<int64_t>(u) >= written;
    if (!gone || n == 0) continue;
    s.units_lost += n;
    s.unit_events[u] = n;
  }
  if (lost) {
    lost->count = summary.count;
    const TargetRow& row = target_rule(target);
    if (row.units_tied_to_woices) {
      // An x3x tuning is carried by the woice's own body where the target keeps it.
      const bool tunings = old_generation(row) && row.qxvoice == MATERIAL_KEPT;
      for (size_t u = 0; u < 256; ++u) {
        uint32_t* unit = lost->count.data() + u * EVENT_KIND_NUM;
        unit[EVENT_VOICE_NO] -= summary.own_voice[u];
        unit[EVENT_GROUP_NO] -= summary.group_zero[u];
        if (tunings) unit[EVENT_CORRECT] -= summary.woice_tuning[u];
      }
    }
  }
  return s;
}

void report_unit_losses(Run& run, const Song& p, int target, const EventSurvey& s) {
  const int64_t events = s.units_lost;
  if (events == 0) return;
  int64_t units = 0;
  for (size_t u = 0; u < 256; ++u) {
    if (s.unit_events[u] == 0) continue;
    ++units;
    const bool named = u < p.units.size() && p.units[u];
    record_loss_of(run, LOSS_UNIT, "", static_cast<int32_t>(u),
                   named ? std::optional(name_field_text(p.units[u]->name)) : std::nullopt,
                   s.unit_events[u]);
  }
  loss_line(run, target,
            counted(events, "event", "events") + " not written, of " +
                counted(units, "unit", "units") + " the song does not have");
}

void report_name_losses(Run& run, const Song& p, int target, int tune_input) {
  // Woice names travel in the assist chunks of x4x and x5x, never written for tunes.
  const bool names_kept = !target_rule(target).units_tied_to_woices && !tune_input;
  if (!names_kept) {
    // Woices whose name the output cannot give back (what the readers name them otherwise).
    const int32_t woices = leading_woice_count(p);
    const int32_t checked = instrument_target(target) ? std::min(woices, QXI_UNIT_NUM) : woices;
    int64_t named = 0;
    for (int32_t i = 0; i < checked; ++i) {
      if (!default_name(p.woices[static_cast<size_t>(i)]->name, "voice_%02d", i)) ++named;
    }
    if (named > 0) {
      not_written(run, "woice-names", named);
      loss_line(run, target, counted(named, "woice name", "woice names") + " not written");
    }
  }
  int64_t unit_names = 0;
  for (size_t i = 0; i < p.units.size(); ++i) {
    const Unit* u = p.units[i].get();
    if (!u) continue;
    if (instrument_target(target)) {
      if (i < QXI_UNIT_NUM && !default_name(u->name, "unit_%02d", i)) ++unit_names;
    } else if (tune_input && u->name_len > 0) {
      ++unit_names;
    }
  }
  if (unit_names > 0) {
    not_written(run, "unit-names", unit_names);
    loss_line(run, target, counted(unit_names, "unit name", "unit names") + " not written");
  }
}

void report_x1x_losses(Run& run, const Song& p, int target) {
  if (p.name_text && p.name_text->size() > X1X_NAME_MAX) {
    changed(run, "song-name-length", static_cast<double>(p.name_text->size()), X1X_NAME_MAX);
    loss_line(run, target, "song name cut to 16 characters");
  }
  report_comment_loss(run, p, target);
  if (p.repeat_meas != 0 || p.last_meas != 0) {
    not_written(run, "repeat-and-last-measures");
    loss_line(run, target,
              "repeat and last measures not written (repeat " + std::to_string(p.repeat_meas) +
                  ", last " + std::to_string(p.last_meas) + ")");
  }
  int64_t amps = 0;
  for (const Overdrive& od : p.overdrives) {
    if (!od.in_use) break;
    if (od.amp != 1.0f) ++amps;
  }
  if (amps > 0) {
    not_written(run, "overdrive-amps", amps);
    loss_line(run, target,
              "amp of " + counted(amps, "overdrive", "overdrives") +
                  " not written, the old layout plays 1");
  }
  if (target_rule(target).qxvoice == MATERIAL_TO_PCM) {
    int64_t voices = 0;
    for (int32_t i = 0; i < leading_woice_count(p); ++i) {
      const Woice& w = *p.woices[static_cast<size_t>(i)];
      if (w.type == WOICE_QXVOICE && w.voice_num > 1) voices += w.voice_num - 1;
    }
    if (voices > 0) {
      not_written(run, "qxvoice-voices", voices);
      loss_line(run, target,
                counted(voices, "qxVoice voice", "qxVoice voices") +
                    " beyond the first of a woice not rendered");
    }
  }
}

// Targets without effects.
void report_effect_losses(Run& run, const Song& p, int target) {
  int64_t delays = 0, overdrives = 0;
  for (const Delay& d : p.delays) {
    if (!d.in_use) break;
    ++delays;
  }
  for (const Overdrive& od : p.overdrives) {
    if (!od.in_use) break;
    ++overdrives;
  }
  std::string effects;
  if (delays > 0) {
    not_written(run, "delays", delays);
    effects = counted(delays, "delay", "delays");
  }
  if (overdrives > 0) {
    not_written(run, "overdrives", overdrives);
    effects += (effects.empty() ? "" : " and ") + counted(overdrives, "overdrive", "overdrives");
  }
  if (!effects.empty()) loss_line(run, target, effects + " not written");
}

// A MIDI file holds notes and controllers, no sounds: what a byte of MIDI cannot hold is
// held at its ends.
void report_midi_losses(Run& run, const Song& p, int target) {
  int64_t woices = 0;
  for (const auto& w : p.woices) woices += w ? 1 : 0;
  if (woices > 0) {
    not_written(run, "woices", woices);
    loss_line(run, target,
              counted(woices, "woice", "woices") + " not written, a MIDI file holds no sounds");
  }
  report_effect_losses(run, p, target);
  // Notes beyond MIDI's keys and bends beyond its range are the plan's lines.
  int64_t levels = 0;
  for (const Event& e : p.events) {
    if (e.kind == EVENT_VEL) {
      levels += e.value < 1 || e.value > 127 ? 1 : 0;
    } else if (e.kind == EVENT_VOL) {
      levels += e.value < 0 || e.value > 127 ? 1 : 0;
    } else if (e.kind == EVENT_PAN) {
      levels += e.value < 0 || e.value > 128 ? 1 : 0;
    }
  }
  if (levels > 0) {
    clamped(run, "levels-held", levels);
    loss_line(run, target,
              counted(levels, "velocity, volume or pan", "velocities, volumes or pans") +
                  " beyond a MIDI byte held at its ends");
  }
}

void report_instrument_losses(Run& run, const Song& p, int target) {
  const bool instrument_input = p.instrument;
  int64_t woices = 0;
  for (int32_t i = 0; i < leading_woice_count(p); ++i) {
    if (!woice_is_builtin(p, i)) ++woices;
  }
  if (woices > 0) {
    not_written(run, "woices", woices);
    loss_line(
        run, target,
        counted(woices, "woice", "woices") + " not written, units play the built-in instruments");
  }
  report_effect_losses(run, p, target);
  if (!instrument_input) report_song_name_loss(run, p, target);
  report_comment_loss(run, p, target);
  const float tempo = p.beat_tempo;
  // Tempos outside a byte have a line of their own.
  if (tempo >= 1.0f && tempo < 256.0f && std::trunc(tempo) != tempo) {
    char text[64];
    std::snprintf(text, sizeof text, "tempo %g written as %d", static_cast<double>(tempo),
                  static_cast<int>(tempo));
    changed(run, "tempo", tempo, std::trunc(tempo));
    loss_line(run, target, text);
  }
  if (p.beat_num != 4) {
    changed(run, "beats-a-measure", p.beat_num, 4);
    loss_line(run, target,
              counted(p.beat_num, "beat", "beats") +
                  " a measure not written, the file counts 4 (repeat and last measures move)");
  }
  const int32_t div_clock = p.beat_clock / QXI_BEAT_DIVIDE;
  if (div_clock <= 0) return;  // refused by the writer
  if (p.beat_clock % QXI_BEAT_DIVIDE != 0) {
    changed(run, "beat-clock", p.beat_clock, div_clock * QXI_BEAT_DIVIDE);
    loss_line(run, target,
              "beat clock " + std::to_string(p.beat_clock) +
                  " is not a multiple of 8, events drift from the beat");
  }
  int64_t moved = 0, shortened = 0, keys = 0;
  for (const Event& e : p.events) {
    if (e.unit_no >= QXI_UNIT_NUM) continue;
    const bool written =
        e.kind == EVENT_ON || e.kind == EVENT_KEY || e.kind == EVENT_VEL || e.kind == EVENT_VOL;
    if (!written) continue;
    if (e.clock % div_clock != 0) ++moved;
    if (e.kind == EVENT_ON && e.value % div_clock != 0) ++shortened;
    // A key byte wraps, so any whole semitone of 0 to 255 reads back as itself.
    if (e.kind == EVENT_KEY && (e.value % 256 != 0 || e.value < 0 || e.value > 0xFFFF)) {
      ++keys;
    }
  }
  if (moved > 0) {
    clamped(run, "event-times-rounded", moved);
    loss_line(run, target,
              counted(moved, "event", "events") +
                  " not on an eighth of a beat moved to the eighth before");
  }
  if (shortened > 0) {
    clamped(run, "note-lengths-rounded", shortened);
    loss_line(run, target,
              counted(shortened, "note", "notes") + " shortened to whole eighths of a beat");
  }
  if (keys > 0) {
    clamped(run, "keys-rounded", keys);
    loss_line(run, target, counted(keys, "key", "keys") + " moved to a semitone the file can hold");
  }
}

// The readers of x1x to x3x hold every key of clock 0 or later within 0 to KEY_MAX.
void report_key_range(Run& run, int target, const EventSurvey& s) {
  const int64_t keys = s.keys_held;
  if (keys > 0) {
    clamped(run, "keys-held", keys);
    loss_line(run, target,
              counted(keys, "key", "keys") + " out of the old generations' range held at its ends");
  }
}

void report_tune_rounding(Run& run, const Song& p, int target, int clock_divisor) {
  int64_t moved = 0;
  for (const Event& e : p.events) {
    const bool length = e.kind == EVENT_ON || e.kind == EVENT_PORTAMENT;
    if (e.clock % clock_divisor != 0 || (length && e.value % clock_divisor != 0)) ++moved;
  }
  if (moved > 0) {
    clamped(run, "event-times-rounded", moved);
    loss_line(run, target,
              counted(moved, "event time", "event times") + " rounded down to 1/" +
                  std::to_string(p.beat_clock / clock_divisor) + " of a beat");
  }
}

}  // namespace

EventTally tally_lost_events(const Song& p, int target) {
  EventTally t;
  survey_events(p, target, false, &t);
  return t;
}

// WAV files hold each woice's sound and root key, nothing of the song around them.
void report_wav_losses(Run& run, const Song& p, int target) {
  int64_t events = 0;
  EventSummary made;
  const EventSummary& summary = events_summary_of(p, made);
  for (size_t i = 0; i < summary.count.size(); ++i) {
    events += i % EVENT_KIND_NUM != EVENT_NONE ? summary.count[i] : 0;
  }
  if (events > 0) {
    not_written(run, "events", events);
    not_written(run, "units", unit_count(p));
    loss_line(run, target,
              counted(events, "event", "events") + " of " +
                  counted(unit_count(p), "unit", "units") +
                  " not written, WAV files hold the woices only");
  }
  report_effect_losses(run, p, target);
  report_song_name_loss(run, p, target);
  report_comment_loss(run, p, target);
  int64_t tunings = 0, flags = 0;
  for (const auto& w : p.woices) {
    if (!w || w->voices.empty()) continue;
    const float tuning = w->voices[0].tuning;
    tunings += tuning != 0.0f && tuning != 1.0f ? 1 : 0;
    flags += w->voices[0].voice_flags != 0 ? 1 : 0;
  }
  if (tunings > 0) {
    not_written(run, "woice-tunings", tunings);
    loss_line(run, target, counted(tunings, "woice tuning", "woice tunings") + " not written");
  }
  if (flags > 0) {
    not_written(run, "woice-flags", flags);
    loss_line(run, target, "the flags of " + counted(flags, "woice", "woices") + " not written");
  }
}

void report_losses(Run& run, const Song& p, int target, int tune_input, int clock_divisor,
                   EventTally* lost) {
  const TargetRow* row = target_row(target);
  if (!row) return;
  if (row->writer == WRITER_X1X) report_x1x_losses(run, p, target);
  if (row->writer == WRITER_QXI) report_instrument_losses(run, p, target);
  if (row->writer == WRITER_MIDI) report_midi_losses(run, p, target);
  if (row->writer == WRITER_WAV) {
    // Names go into the file names; the events are one line.
    report_wav_losses(run, p, target);
    return;
  }
  // One walk for the key and unit lines and the downgrade step's tally.
  const EventSurvey survey = survey_events(p, target, old_generation(*row), lost);
  if (old_generation(*row)) report_key_range(run, target, survey);
  report_name_losses(run, p, target, tune_input);
  report_unit_losses(run, p, target, survey);
  if (clock_divisor > 1) report_tune_rounding(run, p, target, clock_divisor);
}
