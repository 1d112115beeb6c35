// The downgrade step. Its lines come in the order the target's file holds what they are
// about (the effects, the units, each woice, each unit's events), so that a conversion
// that fails on the way has said what it did up to there and nothing after.
#include "io/downgrade.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "io/chunk_writers.h"
#include "io/file_header.h"
#include "io/loss_report.h"
#include "io/material_writer.h"
#include "io/qxi_writer.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "synth/noise_render.h"
#include "synth/voice_render.h"

namespace {

// The largest material body a chunk can hold.
constexpr int64_t BODY_MAX = 0x7FFFFFE0;
// The flag bits a PCM chunk holds; its readers take a higher one for a newer format. A
// qxNoise chunk's flags are not checked when read, so a rendered one may carry any.
constexpr uint32_t PCM_VOICE_FLAGS = 0x7;

int fail(Run& run, const char* text) {
  set_error_text(run, "%s", text);
  return 0;
}

struct Step {
  Run& run;
  const Song& song;
  TargetSong& t;
  DowngradeMode mode;
  MaterialOutcomes* outcomes;
  // The events the target loses (see tally_lost_events), tallied by the loss report's walk
  // for the targets whose warnings ask about them.
  const EventTally& lost;
};

// Whether a beat clock or beat count goes into a field of type T unchanged: the readers
// refuse 0, and a value cut to the field's width would read back as another.
template <typename T>
bool field_holds(int64_t v) {
  return v != 0 && static_cast<int64_t>(static_cast<T>(v)) == v;
}

// Interleaved 16-bit samples as the file stores them, little-endian whatever the host.
std::vector<uint8_t> le_samples(const std::vector<int16_t>& samples, size_t bytes) {
  std::vector<uint8_t> out(bytes);
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const auto v = static_cast<uint16_t>(samples[i / 2]);
    out[i] = static_cast<uint8_t>(v);
    out[i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return out;
}

// A woice turned into 44100 Hz stereo 16-bit PCM.
std::unique_ptr<Woice> rendered_woice(const Woice& from, int32_t basic_key, uint32_t flags,
                                      std::vector<uint8_t> samples) {
  auto w = std::make_unique<Woice>();
  std::memcpy(w->name, from.name, sizeof w->name);
  w->name_len = from.name_len;
  w->type = WOICE_PCM;
  w->voice_num = 1;
  w->voices.resize(1);
  Voice& v = w->voices[0];
  const Voice& a = from.voices[0];
  v.basic_key = basic_key;
  v.voice_flags = flags;
  v.tuning = a.tuning;
  v.wave_type = WAVE_PCM;
  v.pcm = std::make_unique<PcmBuffer>();
  v.pcm->channels = 2;
  v.pcm->bits = 16;
  v.pcm->sample_rate = 44100;
  v.pcm->sample_num = static_cast<int32_t>(samples.size() / 4);
  v.pcm->samples = std::move(samples);
  return w;
}

// The outcome of rendering or decoding woice `slot`, measured once per song when inspecting.
MaterialOutcome* known_outcome(Step& s, size_t slot) {
  if (s.mode != DOWNGRADE_MEASURE || !s.outcomes) return nullptr;
  if (s.outcomes->size() <= slot) s.outcomes->resize(slot + 1);
  return &(*s.outcomes)[slot];
}

// Says the conversion line of a measured outcome, or fails as the conversion did.
int replay(Step& s, size_t slot, const MaterialOutcome& o, const char* kind, const Woice& w,
           const char* failure, TargetWoice& tw) {
  if (!o.ok) return fail(s.run, failure);
  tw.measured = s.mode == DOWNGRADE_MEASURE;
  const std::string name = name_field_text(w.name);
  record_material(s.run, kind, static_cast<int32_t>(slot), name, o.from_bytes, o.to_bytes);
  print_text(s.run, "\n* converted %s [%s] to PCM (%d -> %d bytes)", kind, name.c_str(),
             static_cast<int>(o.from_bytes), static_cast<int>(o.to_bytes));
  return 1;
}

// Takes `frames` stereo 16-bit frames of a render into the outcome, and into the target's
// copy when it is kept.
void take_render(Step& s, const Woice& w, const std::vector<int16_t>& samples, int64_t frames,
                 int32_t basic_key, uint32_t flags, MaterialOutcome& o, TargetWoice& tw) {
  const int64_t bytes = frames * 4;
  if (frames < 0 || bytes > BODY_MAX ||
      static_cast<size_t>(bytes) > samples.size() * sizeof(int16_t)) {
    return;
  }
  o.ok = true;
  o.to_bytes = static_cast<int32_t>(bytes);
  if (s.mode == DOWNGRADE_KEEP) {
    tw.changed =
        rendered_woice(w, basic_key, flags, le_samples(samples, static_cast<size_t>(bytes)));
  }
}

// A woice turned into PCM, said with its sizes: `convert` fills the outcome (and the
// target's copy when it is kept); when inspecting, once a song.
template <typename Convert>
int to_pcm(Step& s, size_t slot, const Woice& w, TargetWoice& tw, const char* kind, const char* tag,
           const char* failure, Convert&& convert) {
  tw.pcm_tag = tag;
  tw.failure = failure;
  MaterialOutcome* known = known_outcome(s, slot);
  if (known && known->known) return replay(s, slot, *known, kind, w, failure, tw);
  MaterialOutcome o{true, false, 0, 0};
  convert(o);
  if (known) *known = o;
  return replay(s, slot, o, kind, w, failure, tw);
}

int render_voice(Step& s, size_t slot, const Woice& w, TargetWoice& tw) {
  return to_pcm(s, slot, w, tw, "qxVoice", "matePCM=", "convert qxv", [&](MaterialOutcome& o) {
    o.from_bytes = qxvoice_body_size(w);
    std::unique_ptr<Woice> cycle = woice_clone(w);
    if (!qxvoice_render(*cycle) || cycle->voices.empty() || cycle->instances.empty()) return;
    const VoiceInstance& inst = cycle->instances[0];
    const int64_t frames = static_cast<int64_t>(inst.head_num) + inst.body_num + inst.tail_num;
    take_render(s, w, inst.samples, frames, CONVERTED_VOICE_KEY, w.voices[0].voice_flags, o, tw);
  });
}

int render_noise(Step& s, size_t slot, const Woice& w, TargetWoice& tw) {
  if (w.voices.empty() || !w.voices[0].noise) return fail(s.run, "convert qxn");
  return to_pcm(s, slot, w, tw, "qxNoise", "matePCM=", "convert qxn", [&](MaterialOutcome& o) {
    // The line counts the design as it is rendered: held within the renderer's bounds.
    NoiseDesign design = *w.voices[0].noise;
    noise_clamp_design(design);
    o.from_bytes = qxnoise_body_size(design);
    std::vector<int16_t> block;
    if (!qxnoise_render(s.run, design, block)) return;
    take_render(s, w, block, design.sample_num, w.voices[0].basic_key,
                w.voices[0].voice_flags & PCM_VOICE_FLAGS, o, tw);
  });
}

int decode_ogg(Step& s, size_t slot, const Woice& w, TargetWoice& tw) {
  if (!s.run.ogg_codec.ogg_decode || w.voices.empty() || !w.voices[0].ogg) {
    return fail(s.run, "convert ogg");
  }
  return to_pcm(s, slot, w, tw, "OGG", "matePCM ", "convert ogg", [&](MaterialOutcome& o) {
    const Voice& a = w.voices[0];
    o.from_bytes = a.ogg->size;
    auto pcm = std::make_unique<PcmBuffer>();
    if (!s.run.ogg_codec.ogg_decode(a.ogg.get(), pcm.get())) return;
    const int64_t bytes = pcm_data_bytes(*pcm);
    if (bytes < 0) return;
    o.ok = true;
    o.to_bytes = static_cast<int32_t>(bytes);
    if (s.mode == DOWNGRADE_KEEP) {
      tw.changed = rendered_woice(w, a.basic_key, a.voice_flags, {});
      tw.changed->voices[0].pcm = std::move(pcm);
    }
  });
}

// What the target does to woice `slot`: kept as it is, changed in a copy, or turned to PCM.
int convert_woice(Step& s, size_t slot, const Woice& w, TargetWoice& tw) {
  const TargetRow& row = *s.t.row;
  switch (w.type) {
    case WOICE_QXVOICE:
      if (row.qxvoice == MATERIAL_TO_PCM) return render_voice(s, slot, w, tw);
      if (row.qxvoice_layout == QXVOICE_OLD_BODY) {
        tw.changed = woice_clone(w);
        if (!qxvoice_downgrade_waves(s.run, *tw.changed)) return fail(s.run, "write qxv");
      }
      return 1;
    case WOICE_QXNOISE:
      if (row.qxnoise == MATERIAL_TO_PCM) return render_noise(s, slot, w, tw);
      if (row.old_noise_layout) {
        if (w.voices.empty() || !w.voices[0].noise) return fail(s.run, "write qxv");
        tw.changed = woice_clone(w);
        const std::string name = name_field_text(w.name);
        if (!qxnoise_downgrade_waveforms(s.run, *tw.changed->voices[0].noise, name.c_str())) {
          return fail(s.run, "write qxv");
        }
      }
      return 1;
    case WOICE_OGG:
      return row.ogg == MATERIAL_KEPT ? 1 : decode_ogg(s, slot, w, tw);
    default:
      return 1;
  }
}

int convert_woice_at(Step& s, int32_t i) {
  const auto slot = static_cast<size_t>(i);
  TargetWoice& tw = s.t.woices[slot];
  try {
    return convert_woice(s, slot, *tw.source, tw);
  } catch (const std::bad_alloc&) {
    tw.changed.reset();
    const TargetRow& row = *s.t.row;
    switch (tw.source->type) {
      case WOICE_QXVOICE:
        return fail(s.run, row.qxvoice == MATERIAL_TO_PCM ? "convert qxv" : "write qxv");
      case WOICE_QXNOISE:
        return fail(s.run, row.qxnoise == MATERIAL_TO_PCM ? "convert qxn" : "write qxv");
      default:
        return fail(s.run, "convert ogg");
    }
  }
}

int convert_leading_woices(Step& s) {
  const int32_t woices = target_leading_woice_count(s.t);
  for (int32_t i = 0; i < woices; ++i) {
    if (!convert_woice_at(s, i)) return 0;
  }
  return 1;
}

// The old layouts store an overdrive otherwise, and say so for each.
void say_overdrives(Step& s) {
  const OverdriveLayout layout = s.t.row->overdrive_layout;
  if (layout != OVERDRIVE_OLD && layout != OVERDRIVE_STRAIN) return;
  for (size_t i = 0; i < s.song.overdrives.size(); ++i) {
    if (!s.song.overdrives[i].in_use) break;
    print_text(s.run, "\n* converted overdrive[%d] to %s format -", static_cast<int>(i),
               layout == OVERDRIVE_OLD ? "OLD" : "STRAIN");
  }
}

// Where unit i plays woice i, every woice index without a unit gets one named "u-" and the
// woice's name, taking the first free slot as a unit added to the table would.
int make_woice_units(Step& s) {
  std::vector<std::optional<Unit>>& units = s.t.units;
  const int32_t woices = target_leading_woice_count(s.t);
  for (int32_t w = 0; w < woices; ++w) {
    const auto slot = static_cast<size_t>(w);
    if (slot < units.size() && units[slot]) continue;
    const auto free = std::find_if(units.begin(), units.end(), [](const auto& u) { return !u; });
    if (free == units.end()) return fail(s.run, "unit limit reached");
    free->emplace();
    if (slot >= units.size() || !units[slot]) return fail(s.run, "unit limit reached");
    Unit& unit = *units[slot];
    const Woice& woice = s.t.woices[slot].woice();
    // The prefix and the first 14 bytes of the woice's name field, as the field holds them.
    const size_t prefix = std::strlen(UNIT_NAME_PREFIX);
    std::memcpy(unit.name, UNIT_NAME_PREFIX, prefix);
    std::memcpy(unit.name + prefix, woice.name, sizeof unit.name - prefix);
    unit.name_len = NAME_FIELD_SIZE;
    print_text(s.run, "\n* created unit '%s' for woice [%s]", name_field_text(unit.name).c_str(),
               name_field_text(woice.name).c_str());
  }
  // A unit without its woice has nothing to play and the file could not be read back.
  const int32_t count = target_unit_count(s.t);
  for (int32_t i = 0; i < count; ++i) {
    if (!target_woice(s.t, i)) {
      set_error_text(s.run, "unit %02d has no woice", static_cast<int>(i));
      return 0;
    }
  }
  return 1;
}

// Where units are not tied to woices every event is lost where its kind is: the loss
// report's tally, with the events the target's copy puts first.
EventTally with_head_events(const Step& s) {
  EventTally tally = s.lost;
  for (const Event& e : s.t.head_events) tally_add(tally, e);
  return tally;
}

int downgrade_x1x(Step& s) {
  const Song& song = s.song;
  if (!field_holds<uint16_t>(song.beat_clock / s.t.clock_divisor) ||
      !field_holds<uint16_t>(song.beat_num)) {
    return fail(s.run, "write project");
  }
  say_overdrives(s);
  if (!make_woice_units(s) || !convert_leading_woices(s)) return 0;
  const int32_t units = target_unit_count(s.t);
  for (int32_t i = 0; i < units; ++i) {
    warn_unsupported_kinds(s.run, s.lost, i, s.t.row->kind_limit);
  }
  return 1;
}

int downgrade_x2x_x3x(Step& s) {
  say_overdrives(s);
  if (!make_woice_units(s)) return 0;
  const int32_t units = target_unit_count(s.t);
  for (int32_t i = 0; i < units; ++i) {
    if (!convert_woice_at(s, i)) return 0;
    warn_unsupported_kinds(s.run, s.lost, i, s.t.row->kind_limit);
  }
  return 1;
}

int downgrade_x4x(Step& s) {
  say_overdrives(s);
  if (!convert_leading_woices(s)) return 0;
  const EventTally tally = with_head_events(s);
  const int32_t units = target_unit_count(s.t);
  for (int32_t i = 0; i < units; ++i) warn_unsupported_kinds(s.run, tally, i, s.t.row->kind_limit);
  return 1;
}

int downgrade_x5x(Step& s) {
  if (!field_holds<int16_t>(s.song.beat_clock / s.t.clock_divisor) ||
      !field_holds<int8_t>(s.song.beat_num)) {
    return fail(s.run, "write master");
  }
  say_overdrives(s);
  return convert_leading_woices(s);
}

// A MIDI file keeps notes, keys, pans, velocities, volumes, portaments and voice numbers;
// the plan says how the beat and the channels were fitted.
int downgrade_midi(Step& s) {
  const EventTally tally = with_head_events(s);
  for (int unit = 0; unit < 256; ++unit) {
    warn_unsupported_kinds(s.run, tally, unit, EVENT_BEAT_CLOCK, EVENT_VOICE_NO);
    warn_unsupported_kinds(s.run, tally, unit, EVENT_VOICE_NO + 1);
  }
  return midi_plan(s.run, s.song, s.t.head_events, s.t.midi);
}

// WAV files hold the woices only, every one as PCM; the events' loss is the loss report's.
int downgrade_wav(Step& s) {
  bool any = false;
  for (size_t i = 0; i < s.t.woices.size(); ++i) {
    if (!s.t.woices[i].source) continue;
    any = true;
    if (!convert_woice_at(s, static_cast<int32_t>(i))) return 0;
  }
  return any ? 1 : fail(s.run, "no woices");
}

int downgrade_qxi(Step& s) {
  const Song& song = s.song;
  const int32_t units = unit_count(song);
  const EventTally& tally = s.lost;
  // Every event of a unit past the sixth is left out, the ones played otherwise too.
  const EventTally all = units > QXI_UNIT_NUM ? tally_events(song) : EventTally{};
  for (int32_t i = 0; i < units && static_cast<size_t>(i) < song.units.size(); ++i) {
    const Unit* unit = song.units[static_cast<size_t>(i)].get();
    if (!unit) continue;
    if (i >= QXI_UNIT_NUM) {
      int64_t events = 0;
      for (int k = 0; k < EVENT_KIND_NUM; ++k) {
        events += all.count[static_cast<size_t>((i & 0xFF) * EVENT_KIND_NUM + k)];
      }
      record_loss_of(s.run, LOSS_UNIT, "", i, name_field_text(unit->name), events);
      print_text(s.run,
                 "\n- WARNING: unit [%02d] '%s' located beyond QXI unit num (max: 05). The output "
                 "will discard it! -",
                 static_cast<int>(i), name_field_text(unit->name).c_str());
    }
    // The pan of every unit is lost, whatever the kind limit says.
    warn_unsupported_kinds(s.run, tally, i, EVENT_PAN, EVENT_PAN + 1);
    warn_unsupported_kinds(s.run, tally, i, s.t.row->kind_limit);
  }
  if (song.beat_clock / QXI_BEAT_DIVIDE <= 0) return fail(s.run, "beat clock too small for qxi");
  s.t.qxi_tempo = qxi_tempo_byte(s.run, song);
  // The note lengths and volumes a byte cannot hold are said as the records are made.
  return write_qxi(&s.run, song, s.t.qxi_tempo, nullptr, nullptr) ? 1 : fail(s.run, "write qxi");
}

}  // namespace

int32_t target_unit_count(const TargetSong& t) {
  return static_cast<int32_t>(
      std::count_if(t.units.begin(), t.units.end(), [](const auto& u) { return u.has_value(); }));
}

int32_t target_leading_woice_count(const TargetSong& t) {
  int32_t n = 0;
  while (static_cast<size_t>(n) < t.woices.size() && t.woices[static_cast<size_t>(n)].source) ++n;
  return n;
}

const Unit* target_unit(const TargetSong& t, int32_t i) {
  const auto slot = static_cast<size_t>(i);
  return i >= 0 && slot < t.units.size() && t.units[slot] ? &*t.units[slot] : nullptr;
}

const TargetWoice* target_woice(const TargetSong& t, int32_t i) {
  const auto slot = static_cast<size_t>(i);
  return i >= 0 && slot < t.woices.size() && t.woices[slot].source ? &t.woices[slot] : nullptr;
}

int downgrade_song(Run& run, const Song& song, int target, TargetSong& t, DowngradeMode mode,
                   MaterialOutcomes* outcomes) {
  t = TargetSong{};
  t.target = target;
  std::fill(std::begin(run.kind_warned), std::end(run.kind_warned), false);
  run.losses.clear();
  const MagicEntry* magic = find_magic(song.file_magic);
  t.tune_input = magic && magic->tune;
  if (t.tune_input) {
    // Only the newest tunes count 4800 clocks a beat; a tune already at an older editor's
    // resolution keeps its clocks, or every pass would cut them by ten again. A MIDI file
    // counts whatever the song counts.
    const TargetRow* row = target_row(target);
    const bool divided = song.beat_clock > TUNE_OLD_BEAT_CLOCK && (!row || writes_song(*row));
    t.clock_divisor = divided ? TUNE_CLOCK_DIVISOR : 1;
    // A number past the table is refused as the newest targets are, one below it moves on
    // as x1x does: the tune test comes before the target's.
    const TuneRule rule = row ? row->tunes : target > TARGET_COUNT ? TUNE_REFUSED : TUNE_MOVED_ON;
    if (rule == TUNE_REFUSED) return fail(run, "deny beatclock");
    if (rule == TUNE_MOVED_ON) {
      print_text(run, "\n* x1x format doesn't support QXTUNE. Converting to x2x format instead.\n");
      t.target = TARGET_X2X_MID_VOICE;
    }
  }
  try {
    // The loss report's walk tallies the events for the warnings of the targets that give
    // them.
    const TargetRow* rule = target_row(t.target);
    const bool warns = rule && rule->writer != WRITER_X5X && rule->writer != WRITER_WAV;
    EventTally lost;
    report_losses(run, song, t.target, t.tune_input, t.clock_divisor, warns ? &lost : nullptr);
    t.row = target_row(t.target);
    if (!t.row) return fail(run, "Invalid format!");
    t.units.resize(song.units.size());
    for (size_t i = 0; i < song.units.size(); ++i) {
      if (song.units[i]) t.units[i] = *song.units[i];
    }
    t.woices.resize(song.woices.size());
    for (size_t i = 0; i < song.woices.size(); ++i) t.woices[i].source = song.woices[i].get();
    if (!t.row->units_tied_to_woices && song.instrument) {
      for (int i = 0; i < QXI_UNIT_NUM; ++i) {
        Event e;
        e.unit_no = static_cast<uint8_t>(i);
        e.kind = EVENT_VOICE_NO;
        e.value = i;
        t.head_events.push_back(e);
      }
    }
    Step s{run, song, t, mode, outcomes, lost};
    switch (t.row->writer) {
      case WRITER_X1X:
        return downgrade_x1x(s);
      case WRITER_X2X_X3X:
        return downgrade_x2x_x3x(s);
      case WRITER_X4X:
        return downgrade_x4x(s);
      case WRITER_X5X:
        return downgrade_x5x(s);
      case WRITER_QXI:
        return downgrade_qxi(s);
      case WRITER_MIDI:
        return downgrade_midi(s);
      case WRITER_WAV:
        return downgrade_wav(s);
    }
    return fail(run, "Invalid format!");
  } catch (const std::bad_alloc&) {
    return fail(run, "out of memory");
  }
}

int downgrade_woice(Run& run, const Woice& woice, int target, TargetWoice& tw) {
  const Song none;
  TargetSong t;
  t.target = target;
  t.row = &target_rule(target);
  t.woices.resize(1);
  t.woices[0].source = &woice;
  const EventTally lost;
  Step s{run, none, t, DOWNGRADE_KEEP, nullptr, lost};
  const int ok = convert_woice_at(s, 0);
  tw = std::move(t.woices[0]);
  return ok;
}
