// What the writer produces for each song target reads back through the program's own
// reader into the Project that was written, except for the downgrades of the target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "io/chunk_writers.h"
#include "io/open_input.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/ogg_encode.h"
#include "tests/pcm_bytes.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;

namespace {

using EventTuple = std::tuple<int32_t, int, int, int32_t>;  // clock, unit, kind, value

std::vector<EventTuple> event_tuples(const Project& p) {
  std::vector<EventTuple> t;
  for (const Event& e : p.events) {
    t.emplace_back(e.clock, e.unit_no, e.kind, e.value);
  }
  std::sort(t.begin(), t.end());
  return t;
}

void build_roundtrip_song(Project& p) {
  project_setup(p);
  p.beat_num = 3;
  p.beat_tempo = 133.5f;
  p.repeat_meas = 1;
  p.last_meas = 5;
  p.name_text = "round trip";
  p.comment_text = "kept";
  p.delays[0] = {1, 2, 1, 0.5f, 0.75f};
  ASSERT_EQ(overdrive_add(p, 3, 70.0f, 2.0f), 0);
  add_pcm_woice(p).voices[0].basic_key = 0x4500;  // a basic key that shifts no key event
  add_pcm_woice(p, 1, 8, 22050, 5).voices[0].basic_key = 0x4500;
  add_unit(p, "alpha");
  add_unit(p, "beta");
  put(p, 0, 0, EVENT_ON, 240);
  put(p, 0, 0, EVENT_KEY, 0x5000);
  put(p, 0, 0, EVENT_VEL, 100);
  put(p, 0, 0, EVENT_VOL, 90);
  put(p, 240, 0, EVENT_PAN, 30);
  put(p, 480, 0, EVENT_PORTAMENT, 10);
  put(p, 480, 0, EVENT_ON, 240);
  put(p, 960, 0, EVENT_LAST, 0);
  put(p, 0, 0, EVENT_CORRECT, 0x3F800000);
  put(p, 120, 1, EVENT_ON, 100);
  put(p, 120, 1, EVENT_KEY, 0x4000);
  put(p, 0, 1, EVENT_VOICE_NO, 1);
  put(p, 0, 1, EVENT_GROUP_NO, 2);
  put(p, 0, 1, EVENT_PAN_TIME, 5);
}

// The events a target keeps, plus what the old generations' reader adds to every unit.
// `key_shift[u]`: what the old generations' reader adds to unit u's keys (the basic key
// of woice u's chunk less 0x4500).
// The events a target keeps, as its reader gives them back: keys at the pitch they played
// (a unit without keys plays the default key).
// Up to x3x every woice has its unit: those it lacks are made when written.
int written_units(const Project& p, int target) {
  return target <= 5 ? std::max(unit_count(p), leading_woice_count(p)) : unit_count(p);
}

std::vector<EventTuple> expected_events(const Project& p, int target) {
  const int limit = target <= 2 ? 11 : target <= 5 ? 12 : target == 6 ? 15 : 16;
  std::vector<EventTuple> t;
  for (const EventTuple& e : event_tuples(p)) {
    // Up to x4x events are written per unit record: those of other units are not.
    const bool unit_written = target >= 7 || std::get<1>(e) < written_units(p, target);
    if (std::get<2>(e) < limit && unit_written) t.push_back(e);
  }
  if (target <= 5) {
    const int units = written_units(p, target);
    for (int u = 0; u < units; ++u) {
      t.emplace_back(0, u, EVENT_GROUP_NO, 0);
      t.emplace_back(0, u, EVENT_VOICE_NO, u);
      bool has_key = false;
      for (const EventTuple& e : t) has_key |= std::get<1>(e) == u && std::get<2>(e) == EVENT_KEY;
      if (!has_key) t.emplace_back(0, u, EVENT_KEY, 0x6000);
    }
  }
  std::sort(t.begin(), t.end());
  return t;
}

// Writes `p` for `target` and reads the file back into `q` through the program's own
// opener, which must see a beat clock of 480 (no tune to divide).
testing::AssertionResult write_and_read_back(Project& p, Project& q, const std::string& path,
                                             int target) {
  WriteResult r = write_capture(p, path, target);
  if (r.ok != 1) return testing::AssertionFailure() << "write: " << r.error;
  project_setup(q);
  int tune_flag = 0;
  if (open_input(q, path, &tune_flag) != 1) {
    return testing::AssertionFailure() << "read: " << q.report_text;
  }
  if (tune_flag != 0) return testing::AssertionFailure() << "read as a tune";
  return testing::AssertionSuccess();
}

void expect_same_pcm(const Woice& a, const Woice& b) {
  ASSERT_EQ(b.type, static_cast<uint32_t>(WOICE_PCM));
  ASSERT_EQ(b.voices.size(), 1u);
  const Voice& va = a.voices[0];
  const Voice& vb = b.voices[0];
  EXPECT_EQ(vb.basic_key, va.basic_key);
  EXPECT_EQ(vb.voice_flags, va.voice_flags);
  EXPECT_EQ(vb.tuning, va.tuning);
  EXPECT_EQ(vb.pcm->channels, va.pcm->channels);
  EXPECT_EQ(vb.pcm->bits, va.pcm->bits);
  EXPECT_EQ(vb.pcm->sample_rate, va.pcm->sample_rate);
  EXPECT_EQ(vb.pcm->sample_num, va.pcm->sample_num);
  EXPECT_EQ(pcm_bytes(*vb.pcm), pcm_bytes(*va.pcm));
}

}  // namespace

TEST(WriterRoundTrip, EverySongTargetReadsBack) {
  for (int target = 1; target <= 9; ++target) {
    SCOPED_TRACE(target);
    Project p;
    build_roundtrip_song(p);
    ScratchDir dir;
    Project q;
    ASSERT_TRUE(write_and_read_back(p, q, dir.file("rt.qxprj"), target));

    EXPECT_EQ(q.beat_clock, 480);
    EXPECT_EQ(q.beat_num, 3);
    EXPECT_EQ(q.beat_tempo, 133.5f);
    // x1x keeps neither the repeat nor the last measure, nor the comment.
    EXPECT_EQ(q.repeat_meas, target <= 2 ? 0 : 1);
    EXPECT_EQ(q.last_meas, target <= 2 ? 0 : 5);
    EXPECT_EQ(q.name_text, std::optional<std::string>("round trip"));
    EXPECT_EQ(q.comment_text, target <= 2 ? std::nullopt : std::optional<std::string>("kept"));

    EXPECT_EQ(q.delays[0].in_use, 1);
    EXPECT_EQ(q.delays[0].delay_unit, 2);
    EXPECT_EQ(q.delays[0].group, 1);
    EXPECT_EQ(q.delays[0].delay_value_a, 0.5f);
    EXPECT_EQ(q.delays[0].delay_value_b, 0.75f);
    EXPECT_EQ(q.delays[1].in_use, 0);
    ASSERT_EQ(q.overdrives[0].in_use, 1);
    EXPECT_EQ(q.overdrives[1].in_use, 0);
    EXPECT_EQ(q.overdrives[0].group, 3);
    EXPECT_FLOAT_EQ(q.overdrives[0].cut, 70.0f);
    EXPECT_EQ(q.overdrives[0].amp, target <= 2 ? 1.0f : 2.0f);  // the old record has no amp

    ASSERT_EQ(unit_count(q), 2);
    EXPECT_EQ(name_field_text(q.units[0]->name), "alpha");
    EXPECT_EQ(name_field_text(q.units[1]->name), "beta");
    ASSERT_EQ(leading_woice_count(q), 2);
    for (int i = 0; i < 2; ++i) {
      expect_same_pcm(*p.woices[i], *q.woices[i]);
      EXPECT_EQ(name_field_text(q.woices[i]->name), name_field_text(p.woices[i]->name));
    }
    EXPECT_EQ(event_tuples(q), expected_events(p, target));
  }
}

TEST(WriterRoundTrip, TunesReadBackWithTheirClocksDivided) {
  for (int target : {3, 5, 6, 8}) {
    SCOPED_TRACE(target);
    Project p;
    project_setup(p);
    set_magic(p, "QXTUNE--20071119");
    p.beat_clock = 4800;
    add_pcm_woice(p).voices[0].basic_key = 0x4500;
    add_unit(p, "t");
    put(p, 0, 0, EVENT_KEY, 0x5000);
    put(p, 0, 0, EVENT_ON, 4800);
    put(p, 9600, 0, EVENT_ON, 2400);
    ScratchDir dir;
    Project q;
    ASSERT_TRUE(write_and_read_back(p, q, dir.file("t.qxtune"), target));
    EXPECT_EQ(q.beat_clock, 480);
    std::vector<EventTuple> want = {
        {0, 0, EVENT_KEY, 0x5000}, {0, 0, EVENT_ON, 480}, {960, 0, EVENT_ON, 240}};
    if (target <= 5) {
      want.emplace_back(0, 0, EVENT_GROUP_NO, 0);
      want.emplace_back(0, 0, EVENT_VOICE_NO, 0);
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(event_tuples(q), want);
    // A tune carries no unit or woice names.
    EXPECT_EQ(q.units[0]->name_len > 0 ? name_field_text(q.units[0]->name) : "", "");
  }
}

// Events every 15 clocks, 1.5 divided: each reads back within one clock of its own clock / 10
// in every generation, instead of drifting by the rounding of every delta before it.
TEST(WriterRoundTrip, TuneEventsStayInPlaceWhateverTheirSpacing) {
  for (int target = 3; target <= 8; ++target) {
    SCOPED_TRACE(target);
    Project p;
    project_setup(p);
    set_magic(p, "QXTUNE--20071119");
    p.beat_clock = 4800;
    add_pcm_woice(p);
    add_unit(p, "t");
    for (int32_t clock = 0; clock < 600; clock += 15) {
      put(p, clock, 0, EVENT_ON, 12);
      put(p, clock + 5, 0, EVENT_VEL, 100);
    }
    ScratchDir dir;
    Project q;
    ASSERT_TRUE(write_and_read_back(p, q, dir.file("t.qxtune"), target));
    for (int kind : {EVENT_ON, EVENT_VEL}) {
      std::vector<int32_t> want, got;
      for (const Event& e : p.events) {
        if (e.kind == kind) want.push_back(e.clock / 10);
      }
      for (const Event& e : q.events) {
        if (e.kind == kind) got.push_back(e.clock);
      }
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) {
        if (std::abs(got[i] - want[i]) > 1) {
          ADD_FAILURE() << "kind " << kind << ": event " << i << " at " << got[i] << ", not "
                        << want[i];
          break;
        }
      }
    }
  }
}

namespace {

void build_kinds_song(Project& p, const std::vector<uint8_t>& ogg) {
  project_setup(p);
  add_every_woice_kind(p, ogg, 500);
  // Basic keys the old generations shift keys by, up and down.
  for (size_t i : {0, 2, 3}) p.woices[i]->voices[0].basic_key = 0x4500 + 0x700 * (int(i) - 1);
  // Keys near both ends of the range, and runs whose first event is not at clock 0, so that
  // a delta written as an absolute clock shows.
  put(p, 240, 0, EVENT_KEY, 0x3000);
  put(p, 720, 0, EVENT_KEY, 0xBF00);
  put(p, 100, 2, EVENT_KEY, 0x100);
  put(p, 300, 2, EVENT_KEY, 0x7000);
  put(p, 1500, 3, EVENT_ON, 100);
}

// The old and mid layouts give a voice without an envelope the default one.
void expect_same_voices(const Woice& a, const Woice& b, int target) {
  ASSERT_EQ(b.voice_num, a.voice_num);
  const QxVoiceLayout layout = target_rule(target).qxvoice_layout;
  for (int i = 0; i < a.voice_num; ++i) {
    Voice x;
    x.basic_key = a.voices[static_cast<size_t>(i)].basic_key;
    const Voice& source = a.voices[static_cast<size_t>(i)];
    x.volume = source.volume;
    x.pan = source.pan;
    x.tuning = source.tuning;
    x.voice_flags = source.voice_flags;
    x.data_flags = source.data_flags;
    x.wave_type = source.wave_type;
    x.point_num = source.point_num;
    x.points = source.points;
    x.env_fps = source.env_fps;
    x.env_head_num = source.env_head_num;
    x.env_tail_num = source.env_tail_num;
    x.env_points = source.env_points;
    if ((layout == QXVOICE_OLD_BODY || layout == QXVOICE_MID_BODY) &&
        !(x.data_flags & DATA_ENVELOPE)) {
      x.data_flags |= DATA_ENVELOPE;
      x.env_fps = 100;
      x.env_head_num = 1;
      x.env_tail_num = 1;
      x.env_points = {Point{0, 128}, Point{1, 1}};
    }
    const Voice& y = b.voices[static_cast<size_t>(i)];
    EXPECT_EQ(y.basic_key, x.basic_key);
    EXPECT_EQ(y.volume, x.volume);
    EXPECT_EQ(y.pan, x.pan);
    EXPECT_EQ(y.tuning, x.tuning);
    EXPECT_EQ(y.voice_flags, x.voice_flags);
    EXPECT_EQ(y.data_flags, x.data_flags);
    EXPECT_EQ(y.wave_type, x.wave_type);
    EXPECT_EQ(y.point_num, x.point_num);
    ASSERT_EQ(y.points.size(), x.points.size());
    for (size_t k = 0; k < x.points.size(); ++k) {
      EXPECT_EQ(y.points[k].x, x.points[k].x);
      EXPECT_EQ(y.points[k].y, x.points[k].y);
    }
    EXPECT_EQ(y.env_fps, x.env_fps);
    EXPECT_EQ(y.env_head_num, x.env_head_num);
    EXPECT_EQ(y.env_tail_num, x.env_tail_num);
    ASSERT_EQ(y.env_points.size(), x.env_points.size());
    for (size_t k = 0; k < x.env_points.size(); ++k) {
      EXPECT_EQ(y.env_points[k].x, x.env_points[k].x);
      EXPECT_EQ(y.env_points[k].y, x.env_points[k].y);
    }
  }
}

void expect_same_noise(const Woice& a, const Woice& b) {
  const NoiseDesign& x = *a.voices[0].noise;
  const NoiseDesign& y = *b.voices[0].noise;
  EXPECT_EQ(b.voices[0].basic_key, a.voices[0].basic_key);
  EXPECT_EQ(b.voices[0].voice_flags, a.voices[0].voice_flags);
  EXPECT_EQ(b.voices[0].tuning, a.voices[0].tuning);
  EXPECT_EQ(y.sample_num, x.sample_num);
  ASSERT_EQ(y.unit_num, x.unit_num);
  for (size_t u = 0; u < x.units.size(); ++u) {
    EXPECT_EQ(y.units[u].env_num, x.units[u].env_num);
    EXPECT_EQ(y.units[u].env_points[0].time, x.units[u].env_points[0].time);
    EXPECT_EQ(y.units[u].env_points[0].level, x.units[u].env_points[0].level);
    EXPECT_EQ(y.units[u].osc_main.waveform, x.units[u].osc_main.waveform);
    EXPECT_EQ(y.units[u].osc_main.freq, x.units[u].osc_main.freq);
    EXPECT_EQ(y.units[u].osc_main.volume, x.units[u].osc_main.volume);
  }
}

}  // namespace

TEST(WriterRoundTrip, EveryWoiceKindReadsBackAsTheTargetHoldsIt) {
  const std::vector<uint8_t> ogg = ogg_encode::tone_stream(1, 44100, 600);
  ASSERT_FALSE(ogg.empty());
  for (int target = 1; target <= 9; ++target) {
    SCOPED_TRACE(target);
    Project p;
    build_kinds_song(p, ogg);
    ScratchDir dir;
    Project q;
    ASSERT_TRUE(write_and_read_back(p, q, dir.file("k.qxprj"), target));

    const std::vector<uint32_t> want_types = target == 1   ? std::vector<uint32_t>{1, 1, 1, 1}
                                             : target == 2 ? std::vector<uint32_t>{1, 2, 1, 1}
                                             : target <= 7 ? std::vector<uint32_t>{1, 2, 3, 1}
                                                           : std::vector<uint32_t>{1, 2, 3, 4};
    ASSERT_EQ(leading_woice_count(q), 4);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(q.woices[i]->type, want_types[i]) << i;
    expect_same_pcm(*p.woices[0], *q.woices[0]);
    if (want_types[1] == WOICE_QXVOICE) expect_same_voices(*p.woices[1], *q.woices[1], target);
    if (want_types[2] == WOICE_QXNOISE) expect_same_noise(*p.woices[2], *q.woices[2]);
    if (want_types[3] == WOICE_OGG) {
      const OggStream& x = *p.woices[3]->voices[0].ogg;
      const OggStream& y = *q.woices[3]->voices[0].ogg;
      EXPECT_EQ(y.size, x.size);
      EXPECT_EQ(y.data, x.data);
      EXPECT_EQ(std::vector<int32_t>(y.header_values, y.header_values + 3),
                std::vector<int32_t>(x.header_values, x.header_values + 3));
    } else {
      const PcmBuffer& pcm = *q.woices[3]->voices[0].pcm;
      EXPECT_EQ(pcm.channels, 1);
      EXPECT_EQ(pcm.bits, 16);
      EXPECT_EQ(pcm.sample_rate, 44100);
      EXPECT_EQ(pcm.sample_num, 600);
    }
    if (target == 1) {
      // The rendered cycle plays at the converted key.
      EXPECT_EQ(q.woices[1]->voices[0].basic_key, 0x3900);
      EXPECT_EQ(q.woices[1]->voices[0].pcm->sample_num, 200);
    }
    // Units 1 to 3 exist in the file wherever units follow woices by index.
    EXPECT_EQ(unit_count(q), target <= 5 ? 4 : 1);
    EXPECT_EQ(event_tuples(q), expected_events(p, target));
  }
}

namespace {

// Reads `from` through the program's own opener and writes it to `to` for `target`.
WriteResult convert_file(const std::string& from, const std::string& to, int target) {
  Project q;
  project_setup(q);
  int tune_flag = 0;
  if (open_input(q, from, &tune_flag) != 1) {
    WriteResult r;
    r.error = q.report_text;
    return r;
  }
  return write_capture(q, to, target);
}

void build_tune(Project& p, int32_t beat_clock) {
  project_setup(p);
  set_magic(p, "QXTUNE--20071119");
  p.beat_clock = beat_clock;
  add_pcm_woice(p).voices[0].basic_key = 0x4A00;
  add_unit(p, "t");
  put(p, beat_clock / 2, 0, EVENT_KEY, 0x5000);
  put(p, 0, 0, EVENT_ON, beat_clock);
  put(p, beat_clock * 2, 0, EVENT_ON, beat_clock / 2 + 5);
}

}  // namespace

// Converting an output again with the same choice changes nothing: no key drifts a semitone,
// no tune loses its resolution. (The first pass may still turn a rendered material into
// plain PCM.)
TEST(WriterRoundTrip, ConvertingAnOutputAgainGivesTheSameBytes) {
  const std::vector<uint8_t> ogg = ogg_encode::tone_stream(1, 44100, 600);
  struct Case {
    const char* kind;
    int target;
    int32_t tune_clock;  // 0: a project of every woice kind
    int32_t want_clock;
  };
  const Case cases[] = {{"song", 1, 0, 480},    {"song", 2, 0, 480},    {"song", 3, 0, 480},
                        {"song", 5, 0, 480},    {"song", 6, 0, 480},    {"song", 9, 0, 480},
                        {"tune", 7, 4800, 480}, {"tune", 3, 4800, 480}, {"tune", 6, 480, 480},
                        {"tune", 8, 480, 480}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.target));
    Project p;
    if (c.tune_clock) {
      build_tune(p, c.tune_clock);
    } else {
      build_kinds_song(p, ogg);
    }
    ScratchDir dir;
    WriteResult first = write_capture(p, dir.file("a"), c.target);
    ASSERT_EQ(first.ok, 1) << first.error;
    WriteResult second = convert_file(dir.file("a"), dir.file("b"), c.target);
    ASSERT_EQ(second.ok, 1) << second.error;
    WriteResult third = convert_file(dir.file("b"), dir.file("c"), c.target);
    ASSERT_EQ(third.ok, 1) << third.error;
    EXPECT_TRUE(second.bytes == third.bytes);
    if (c.tune_clock) {
      EXPECT_TRUE(first.bytes == second.bytes);
    }
    Project q;
    int tune_flag = 0;
    project_setup(q);
    ASSERT_EQ(open_input(q, dir.file("c"), &tune_flag), 1);
    EXPECT_EQ(q.beat_clock, c.want_clock);
  }
}

// A PCM body left in the input is copied into whatever stream the output is: into memory,
// as the browser build writes, the same bytes as into a file. Above two copy blocks, its
// bytes different in every block, it comes out whole.
TEST(WriterRoundTrip, BodiesLeftInTheInputCopyIntoMemoryStreams) {
  Project p;
  build_kinds_song(p, ogg_encode::tone_stream(1, 44100, 600));
  PcmBuffer& pcm = *p.woices[0]->voices[0].pcm;
  pcm.sample_num = 600000;
  pcm.samples.resize(static_cast<size_t>(pcm.sample_num) * pcm.channels * pcm.bits / 8);
  for (size_t i = 0; i < pcm.samples.size(); ++i) pcm.samples[i] = static_cast<uint8_t>(i % 251);
  ScratchDir dir;
  ASSERT_EQ(write_capture(p, dir.file("a"), 9).ok, 1);
  for (int target : {1, 6, 9}) {
    SCOPED_TRACE(target);
    WriteResult file = convert_file(dir.file("a"), dir.file("b" + std::to_string(target)), target);
    ASSERT_EQ(file.ok, 1) << file.error;
    const song_parser::ParsedSong s = song_parser::parse_song(file.bytes);
    ASSERT_EQ(s.error, "");
    const std::vector<uint8_t>& body = s.find("matePCM ")->body;
    EXPECT_TRUE(std::vector<uint8_t>(body.begin() + 24, body.end()) == pcm.samples);
    Project q;
    project_setup(q);
    int tune_flag = 0;
    ASSERT_EQ(open_input(q, dir.file("a"), &tune_flag), 1);
    char* data = nullptr;
    size_t size = 0;
    FILE* mem = open_memstream(&data, &size);
    ASSERT_NE(mem, nullptr);
    bool listing_started = false;
    const int ok = write_output_streams(q, q, mem, nullptr, target, &listing_started);
    std::fseek(mem, 0, SEEK_END);  // the size is where the stream stands
    std::fclose(mem);
    EXPECT_EQ(ok, 1) << q.error_text;
    EXPECT_TRUE(std::vector<uint8_t>(data, data + size) == file.bytes);
    std::free(data);
  }
}
