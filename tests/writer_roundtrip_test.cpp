// What the writer produces for each song target reads back through the program's own
// reader into the Project that was written, except for the downgrades of the target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "io/chunk_writers.h"
#include "io/open_input.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;

namespace {

using EventTuple = std::tuple<int32_t, int, int, int32_t>;  // clock, unit, kind, value

std::vector<EventTuple> event_tuples(const Project& p) {
  std::vector<EventTuple> t;
  for (const Event* e = first_event(p); e; e = e->next) {
    t.emplace_back(e->clock, e->unit_no, e->kind, e->value);
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
std::vector<EventTuple> expected_events(const Project& p, int target) {
  const int limit = target <= 2 ? 11 : target <= 5 ? 12 : target == 6 ? 15 : 16;
  std::vector<EventTuple> t;
  for (const EventTuple& e : event_tuples(p)) {
    if (std::get<2>(e) < limit) t.push_back(e);
  }
  if (target <= 5) {
    const int units = unit_count(p);
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

bool reader_missing(const Project& q) {
  return q.report_text == "reading not supported";
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
  EXPECT_EQ(vb.pcm->samples, va.pcm->samples);
}

}  // namespace

TEST(WriterRoundTrip, EverySongTargetReadsBack) {
  for (int target = 1; target <= 9; ++target) {
    SCOPED_TRACE(target);
    Project p;
    build_roundtrip_song(p);
    ScratchDir dir;
    const std::string path = dir.file("rt.qxprj");
    WriteResult r = write_capture(p, path, target);
    ASSERT_EQ(r.ok, 1) << r.error;

    Project q;
    project_setup(q);
    int tune_flag = 0;
    const int read = open_input(q, path, static_cast<uint8_t>(target), &tune_flag);
    if (!read && reader_missing(q)) GTEST_SKIP() << "song reader not built yet";
    ASSERT_EQ(read, 1) << q.report_text;
    EXPECT_EQ(tune_flag, 0);

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
    const std::string path = dir.file("t.qxtune");
    WriteResult r = write_capture(p, path, target);
    ASSERT_EQ(r.ok, 1) << r.error;
    Project q;
    project_setup(q);
    int tune_flag = 0;
    const int read = open_input(q, path, static_cast<uint8_t>(target), &tune_flag);
    if (!read && reader_missing(q)) GTEST_SKIP() << "song reader not built yet";
    ASSERT_EQ(read, 1) << q.report_text;
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
