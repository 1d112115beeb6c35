// Instrument files: record arithmetic, capacity, repeat and last positions, partial records.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "bytes/bytes.h"
#include "io/qxi_reader.h"
#include "song_builder.h"

namespace {

struct Record {
  uint8_t unit, command, value;
};

Bytes records(std::initializer_list<Record> list) {
  Bytes b;
  for (const Record& r : list) b.u8(r.unit).u8(r.command).u8(r.value);
  return b;
}

Bytes instrument(uint8_t tempo, uint8_t divide, const Bytes& body) {
  return Bytes().u8(tempo).u8(divide).add(body);
}

}  // namespace

class QxiTest : public ReaderTest {
 protected:
  // Reads the records alone (the reader starts after the two header bytes) into a store of
  // 64 records, as read_instrument prepares it, in file order.
  std::vector<Ev> read_records(const Bytes& body, uint8_t divide) {
    project_clear(p);
    events_allocate(p, 64);
    p.beat_clock = 480;
    p.beat_num = 4;
    p.qxi_beat_divide = divide;
    ByteSource s = source_from_memory(body.b.data(), static_cast<int32_t>(body.size()));
    EXPECT_TRUE(read_instrument_events(p, s));
    return events();
  }

  int32_t capacity_of(const Bytes& file) {
    ByteSource s = source_from_memory(file.b.data(), static_cast<int32_t>(file.size()));
    project_clear(p);
    events_clear(p);
    read_instrument(p, s, "x.qxi");
    return p.event_max;
  }
};

TEST_F(QxiTest, RecordsBecomeEvents) {
  EXPECT_EQ(
      read_records(records({{0, 2, 4}, {0, 1, 4}, {1, 4, 0}}), 4),
      (std::vector<Ev>{{0, 0, EVENT_VEL, 104}, {0, 0, EVENT_ON, 480}, {480, 1, EVENT_KEY, 16896}}));
  // Volume and key arithmetic; commands 0 and 7 and above are nothing.
  EXPECT_EQ(read_records(records({{2, 3, 104},
                                  {2, 3, 255},
                                  {2, 3, 0},
                                  {2, 3, 3},
                                  {3, 4, 200},
                                  {3, 0, 9},
                                  {3, 7, 9},
                                  {3, 255, 9}}),
                         8),
            (std::vector<Ev>{{0, 2, EVENT_VOL, 127},
                             {0, 2, EVENT_VOL, 311},
                             {0, 2, EVENT_VOL, 0},
                             {0, 2, EVENT_VOL, 4},  // 3.66 to the nearest
                             {0, 3, EVENT_KEY, 2560}}));
  // A wait for unit 9 still counts; a note for unit 9 does not; a division of 480 / 7 lasts 68.
  EXPECT_EQ(read_records(records({{9, 1, 2}, {9, 2, 1}, {5, 2, 3}}), 7),
            (std::vector<Ev>{{136, 5, EVENT_VEL, 104}, {136, 5, EVENT_ON, 204}}));
  // One or two bytes after the last whole record are not a record.
  Bytes partial = records({{0, 3, 104}});
  partial.u8(0).u8(3);
  EXPECT_EQ(read_records(partial, 8).size(), 1u);
}

TEST_F(QxiTest, RepeatAndLastTakeTheirMeasures) {
  // Measures are rounded, halves away from zero: 2880 clocks are 1.5 measures, 2400 are 1.25.
  read_records(records({{0, 1, 24}, {0, 5, 0}}), 4);
  EXPECT_EQ(p.repeat_meas, 2);
  read_records(records({{0, 1, 20}, {0, 6, 0}}), 4);
  EXPECT_EQ(p.last_meas, 1);
  // The instrument writer puts the steps since its previous record into the value and goes
  // on from the repeat or last point: a note, the repeat 32 steps later, a note there, and
  // the last point another 32 steps on read back as measures 1 and 2.
  EXPECT_EQ(read_records(records({{0, 2, 8}, {0, 5, 32}, {0, 2, 8}, {0, 6, 32}}), 8),
            (std::vector<Ev>{{0, 0, EVENT_VEL, 104},
                             {0, 0, EVENT_ON, 480},
                             {1920, 0, EVENT_VEL, 104},
                             {1920, 0, EVENT_ON, 480}}));
  EXPECT_EQ(p.repeat_meas, 1);
  EXPECT_EQ(p.last_meas, 2);
}

TEST_F(QxiTest, CapacityCountsEveryWholeRecord) {
  // Notes count twice, whatever their unit; partial records not at all.
  Bytes body = records({{0, 2, 1}, {9, 2, 1}, {0, 1, 1}, {0, 3, 1}});
  body.u8(1).u8(2);
  EXPECT_EQ(capacity_of(instrument(120, 8, body)), 6);
  // The song is the same for every target: no voice numbers (the downgrade step adds them
  // where a target needs them), and a file of no records is a song of no events.
  ASSERT_TRUE(open(instrument(120, 8, body), "again.qxi")) << p.report_text;
  for (const Event& e : p.events) EXPECT_NE(e.kind, EVENT_VOICE_NO);
  ASSERT_TRUE(open(instrument(120, 8, Bytes()), "empty.qxi")) << p.report_text;
  EXPECT_TRUE(p.events.empty());
}

TEST_F(QxiTest, WholeFileLoadsWithTheBuiltInMaterials) {
  int tune = -1;
  ASSERT_TRUE(open(instrument(150, 8, Bytes()), "abcdefghijklmnopqrstuv.qxi", &tune))
      << p.report_text;
  EXPECT_EQ(tune, 0);
  EXPECT_EQ(p.name_text, "abcdefghijklmnop");
  EXPECT_EQ(p.beat_tempo, 150.0f);
  EXPECT_EQ(p.qxi_beat_divide, 8);
  EXPECT_EQ(p.unit_max, INSTRUMENT_UNIT_NUM);
  const uint32_t types[] = {WOICE_QXVOICE, WOICE_QXVOICE, WOICE_QXVOICE,
                            WOICE_QXVOICE, WOICE_QXNOISE, WOICE_QXNOISE};
  for (int i = 0; i < INSTRUMENT_UNIT_NUM; ++i) {
    ASSERT_NE(p.woices[i], nullptr);
    EXPECT_EQ(p.woices[i]->type, types[i]);
    char want[NAME_FIELD_SIZE] = {};
    std::snprintf(want, sizeof want, "unit_%02d", i);
    ASSERT_NE(p.units[i], nullptr);
    EXPECT_EQ(std::memcmp(p.units[i]->name, want, NAME_FIELD_SIZE), 0);
    EXPECT_EQ(p.units[i]->name_len, 16);
  }
  EXPECT_EQ(p.woices[6], nullptr);
  EXPECT_EQ(p.woices[4]->voices[0].basic_key, 0x4500);
  EXPECT_EQ(p.woices[4]->x3x_basic_key, 0);

  // The last note ends in measure 3: two measures of waiting and a beat-long note.
  ASSERT_TRUE(open(instrument(120, 8, records({{0, 1, 64}, {2, 2, 8}})), "tunes.qxi"))
      << p.report_text;
  EXPECT_EQ(p.name_text, "tunes");
  EXPECT_EQ(p.last_meas, 0);
  EXPECT_EQ(p.meas_num, 3);
  EXPECT_EQ(events(), (std::vector<Ev>{{3840, 2, EVENT_VEL, 104}, {3840, 2, EVENT_ON, 480}}));
}
