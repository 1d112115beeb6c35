// Builds input files byte by byte for the reader tests, independently of the program's
// writers, and a fixture that prepares the Project as the dialogue does before loading.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/convert.h"
#include "io/open_input.h"
#include "platform/resources.h"
#include "project/project.h"

// Little-endian bytes in the order they are appended.
struct Bytes {
  std::vector<uint8_t> b;

  Bytes& u8(uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Bytes& u16(uint32_t v) { return u8(v).u8(v >> 8); }
  Bytes& u32(uint32_t v) { return u16(v).u16(v >> 16); }
  Bytes& f32(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return u32(v);
  }
  // Shortest VarInt form.
  Bytes& var(uint32_t v) {
    while (v >= 0x80) {
      u8(0x80 | (v & 0x7F));
      v >>= 7;
    }
    return u8(v);
  }
  Bytes& text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  // A zero-padded field of n bytes.
  Bytes& field(const std::string& s, size_t n) {
    for (size_t i = 0; i < n; ++i) u8(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  Bytes& add(const Bytes& other) {
    b.insert(b.end(), other.b.begin(), other.b.end());
    return *this;
  }
  // Tag, exact body size, body.
  Bytes& chunk(const char* tag, const Bytes& body) {
    text(std::string(tag, 8)).u32(static_cast<uint32_t>(body.b.size()));
    return add(body);
  }
  size_t size() const { return b.size(); }
};

// Song magics by generation and kind.
inline const char* song_magic(int generation, bool tune = false) {
  static const char* projects[] = {"",
                                   "QXMOSAIKA-050227",
                                   "QXMOSAIKA-050608",
                                   "QXMOSAIKA-060115",
                                   "QXMOSAIKA-060930",
                                   "QXMOSAIKA-071119"};
  static const char* tunes[] = {
      "", "", "QXTUNE--20050608", "QXTUNE--20060115", "QXTUNE--20060930", "QXTUNE--20071119"};
  return tune ? tunes[generation] : projects[generation];
}

// The magic and, from generation 3 on, the version and reserved words.
inline Bytes song_header(int generation, bool tune = false) {
  Bytes h;
  h.text(song_magic(generation, tune));
  if (generation >= 3) h.u16(0x0123).u16(0);
  return h;
}

inline Bytes end_chunk(int generation) {
  return Bytes().text(generation == 1 ? "END=====" : "qxsongND").u32(0);
}

struct Entry {
  uint32_t delta;
  uint32_t value;
};

inline Bytes master_v5(int16_t clock, int8_t num, float tempo, int32_t repeat_clock,
                       int32_t last_clock) {
  Bytes body;
  body.u16(static_cast<uint16_t>(clock)).u8(static_cast<uint8_t>(num)).f32(tempo);
  body.u32(static_cast<uint32_t>(repeat_clock)).u32(static_cast<uint32_t>(last_clock));
  return Bytes().chunk("MasterV5", body);
}

struct V5Event {
  uint32_t delta;
  uint8_t unit;
  uint8_t kind;
  uint32_t value;
};

inline Bytes event_v5(std::initializer_list<V5Event> events) {
  Bytes body;
  body.u32(static_cast<uint32_t>(events.size()));
  for (const V5Event& e : events) body.var(e.delta).u8(e.unit).u8(e.kind).var(e.value);
  return Bytes().chunk("Event V5", body);
}

// "evenUNIT" or "EVENT===": one kind of events of one unit.
inline Bytes unit_events(const char* tag, uint16_t unit, uint16_t kind,
                         const std::vector<Entry>& entries, uint16_t data_kind = 2,
                         uint16_t reserved = 0) {
  Bytes body;
  body.u16(unit).u16(kind).u16(data_kind).u16(reserved).u32(static_cast<uint32_t>(entries.size()));
  for (const Entry& e : entries) body.var(e.delta).var(e.value);
  return Bytes().chunk(tag, body);
}

struct MasterEntry {
  uint32_t kind;
  uint32_t delta;
  uint32_t value;
};

inline Bytes even_mast(std::initializer_list<MasterEntry> entries, uint16_t data_kind = 3) {
  Bytes body;
  body.u16(data_kind).u16(0).u32(static_cast<uint32_t>(entries.size()));
  for (const MasterEntry& e : entries) body.var(e.kind).var(e.delta).var(e.value);
  return Bytes().chunk("evenMAST", body);
}

inline Bytes num_unit(int16_t n, uint16_t reserved = 0) {
  return Bytes().chunk("num UNIT", Bytes().u16(static_cast<uint16_t>(n)).u16(reserved));
}

inline Bytes qxsg_unit(uint16_t kind, uint16_t group) {
  return Bytes().chunk("qxsgUNIT", Bytes().u16(kind).u16(group));
}

inline Bytes assist(const char* tag, uint16_t index, const std::string& name) {
  return Bytes().chunk(tag, Bytes().u16(index).u16(0).field(name, 16));
}

// The bytes of a built-in material body.
inline Bytes builtin_body(const char* name) {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  EXPECT_TRUE(find_resource(name, &data, &size));
  Bytes b;
  if (data) b.b.assign(data, data + size);
  return b;
}

inline Bytes text_chunk(const char* tag, const std::string& s) {
  return Bytes().chunk(tag, Bytes().text(s));
}

inline Bytes pcm_chunk(const char* tag, uint16_t basic_key, uint32_t flags, uint16_t channels,
                       uint16_t bits, uint32_t rate, float tuning,
                       const std::vector<uint8_t>& data) {
  Bytes body;
  body.u16(0).u16(basic_key).u32(flags).u16(channels).u16(bits).u32(rate).f32(tuning);
  body.u32(static_cast<uint32_t>(data.size()));
  body.b.insert(body.b.end(), data.begin(), data.end());
  return Bytes().chunk(tag, body);
}

inline Bytes delay_chunk(uint16_t unit, uint16_t group, float a, float b) {
  return Bytes().chunk("effeDELA", Bytes().u16(unit).u16(group).f32(a).f32(b));
}

inline Bytes overdrive_new(uint16_t group, float cut, float amp) {
  return Bytes().chunk("effeOVER", Bytes().u16(0).u16(group).f32(cut).f32(amp).f32(0.0f));
}

inline Bytes overdrive_old(uint16_t group, float strength) {
  return Bytes().chunk("effeOVER", Bytes().u16(group).u16(0).f32(strength));
}

inline Bytes project_old(const std::string& name, float tempo, uint16_t clock, uint16_t num) {
  Bytes body;
  body.field(name, 16).f32(tempo).u16(clock).u16(num).u16(8).u16(0).u16(2).u16(16).u32(44100);
  return Bytes().chunk("PROJECT=", body);
}

inline Bytes unit_old(const std::string& name, uint16_t kind = 1, uint16_t group = 0) {
  return Bytes().chunk("UNIT====", Bytes().field(name, 16).u16(kind).u16(group));
}

// One event.
struct Ev {
  int32_t clock;
  int unit;
  int kind;
  int32_t value;
  bool operator==(const Ev&) const = default;
};

inline void PrintTo(const Ev& e, std::ostream* os) {
  *os << "{clock " << e.clock << ", unit " << e.unit << ", kind " << e.kind << ", value " << e.value
      << "}";
}

// A fresh Project prepared as the dialogue prepares it, and a temporary folder for inputs.
class ReaderTest : public ::testing::Test {
 protected:
  Project p;
  std::string dir;

  void SetUp() override {
    const char* failed = nullptr;
    ASSERT_TRUE(project_prepare(p, &failed));
    char templ[] = "/tmp/tarvenox_readers_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
  }

  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::string write_file(const std::vector<uint8_t>& bytes, const std::string& name) {
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return path;
  }

  // Writes the bytes and opens them; tune receives the tune flag.
  int open(const Bytes& bytes, const std::string& name = "song.qxprj", int* tune = nullptr) {
    int flag = 0;
    int ok = open_input(p, write_file(bytes.b, name), &flag);
    if (tune) *tune = flag;
    return ok;
  }

  // Nothing of a failed load is left: no units, woices, effects, texts or events, and the
  // Master at its defaults.
  ::testing::AssertionResult project_empty() const {
    if (unit_count(p) != 0) return ::testing::AssertionFailure() << "units left";
    for (const auto& w : p.woices) {
      if (w) return ::testing::AssertionFailure() << "woice left";
    }
    for (const Delay& d : p.delays) {
      if (d.in_use) return ::testing::AssertionFailure() << "delay left";
    }
    for (const Overdrive& o : p.overdrives) {
      if (o.in_use) return ::testing::AssertionFailure() << "overdrive left";
    }
    if (p.name_text || p.comment_text) return ::testing::AssertionFailure() << "text left";
    if (!p.events.empty() || !p.event_puts.empty() || p.event_num != 0) {
      return ::testing::AssertionFailure() << "events left";
    }
    if (p.beat_clock != 480 || p.beat_num != 4 || p.beat_tempo != 120.0f || p.repeat_meas != 0 ||
        p.last_meas != 0 || p.meas_num != 1) {
      return ::testing::AssertionFailure() << "master not reset";
    }
    return ::testing::AssertionSuccess();
  }

  // The events, in list order.
  std::vector<Ev> events() const {
    std::vector<Ev> out;
    for (const Event& e : p.events) {
      out.push_back({e.clock, e.unit_no, e.kind, e.value});
    }
    return out;
  }
  std::vector<Ev> events_of(int kind) const {
    std::vector<Ev> out;
    for (const Ev& e : events()) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
};
