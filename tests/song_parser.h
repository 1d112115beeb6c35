// An independent parser of written song files for the writer tests: it walks the chunks,
// measures every body by its own layout and checks that the size field agrees, that the
// end chunk carries its u32 0 and that nothing follows it.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace song_parser {

struct Chunk {
  std::string tag;
  uint32_t size = 0;
  size_t offset = 0;  // of the body
  std::vector<uint8_t> body;
};

struct ParsedSong {
  std::string magic;
  int generation = 0;
  bool tune = false;
  int exe_version = -1;  // -1: no version words
  int dummy = -1;
  std::vector<Chunk> chunks;  // without the end chunk
  std::string end_tag;
  std::string error;  // empty when the file is well formed

  std::vector<std::string> tags() const {
    std::vector<std::string> t;
    for (const Chunk& c : chunks) t.push_back(c.tag);
    return t;
  }
  const Chunk* find(const std::string& tag, int nth = 0) const {
    for (const Chunk& c : chunks) {
      if (c.tag == tag && nth-- == 0) return &c;
    }
    return nullptr;
  }
};

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline uint16_t u16_at(const std::vector<uint8_t>& b, size_t o) {
  return static_cast<uint16_t>(b.at(o) | (b.at(o + 1) << 8));
}
inline uint32_t u32_at(const std::vector<uint8_t>& b, size_t o) {
  return static_cast<uint32_t>(b.at(o)) | (static_cast<uint32_t>(b.at(o + 1)) << 8) |
         (static_cast<uint32_t>(b.at(o + 2)) << 16) | (static_cast<uint32_t>(b.at(o + 3)) << 24);
}
inline float f32_at(const std::vector<uint8_t>& b, size_t o) {
  uint32_t u = u32_at(b, o);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// A cursor over a whole file; reads past the end set `bad` instead of throwing.
struct Cursor {
  const std::vector<uint8_t>& b;
  size_t pos;
  bool bad = false;
  uint8_t u8() {
    if (pos >= b.size()) {
      bad = true;
      return 0;
    }
    return b[pos++];
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(u8()) << (8 * i);
    return v;
  }
  uint32_t varint() {
    uint32_t v = 0;
    for (int k = 0; k < 5; ++k) {
      uint8_t c = u8();
      v |= static_cast<uint32_t>(c & 0x7F) << (7 * k);
      if (!(c & 0x80)) return v;
    }
    bad = true;
    return v;
  }
};

// Decoded entries of the event chunks.
struct Triple {
  uint32_t kind, delta, value;
  bool operator==(const Triple&) const = default;
};
struct Pair {
  uint32_t delta, value;
  bool operator==(const Pair&) const = default;
};
struct V5Event {
  uint32_t delta;
  uint8_t unit, kind;
  uint32_t value;
  bool operator==(const V5Event&) const = default;
};

inline std::vector<Triple> master_triples(const Chunk& c) {
  Cursor k{c.body, 8};
  std::vector<Triple> t;
  for (uint32_t i = 0, n = u32_at(c.body, 4); i < n; ++i) {
    Triple x;
    x.kind = k.varint();
    x.delta = k.varint();
    x.value = k.varint();
    t.push_back(x);
  }
  return t;
}

inline std::vector<Pair> unit_pairs(const Chunk& c) {
  Cursor k{c.body, 12};
  std::vector<Pair> t;
  for (uint32_t i = 0, n = u32_at(c.body, 8); i < n; ++i) {
    Pair x;
    x.delta = k.varint();
    x.value = k.varint();
    t.push_back(x);
  }
  return t;
}

inline std::vector<V5Event> v5_events(const Chunk& c) {
  Cursor k{c.body, 4};
  std::vector<V5Event> t;
  for (uint32_t i = 0, n = u32_at(c.body, 0); i < n; ++i) {
    V5Event x;
    x.delta = k.varint();
    x.unit = k.u8();
    x.kind = k.u8();
    x.value = k.varint();
    t.push_back(x);
  }
  return t;
}

// Body length by the chunk's own layout, measured from `start`; -1 when the tag is unknown
// and -3 when the body cannot be read by its layout.
inline int64_t measure_body(const std::vector<uint8_t>& b, size_t start, const std::string& tag,
                            int generation, uint32_t size) {
  Cursor c{b, start};
  if (tag == "PROJECT=") return 36;
  if (tag == "UNIT====" || tag == "assiUNIT" || tag == "assiWOIC") return 20;
  if (tag == "qxsgUNIT" || tag == "num UNIT") return 4;
  if (tag == "MasterV5") return 15;
  if (tag == "effeDELA") return 12;
  if (tag == "effeOVER") return generation == 1 ? 8 : 16;
  if (tag == "effeSTRA") return 16;
  if (tag == "textNAME" || tag == "textCOMM") return size;  // the size is the text's length
  if (tag == "evenMAST") {
    c.u32();
    uint32_t n = c.u32();
    for (uint32_t i = 0; i < n * 3 && !c.bad; ++i) c.varint();
  } else if (tag == "evenUNIT" || tag == "EVENT===") {
    c.u32();
    c.u32();
    uint32_t n = c.u32();
    for (uint32_t i = 0; i < n * 2 && !c.bad; ++i) c.varint();
  } else if (tag == "Event V5") {
    uint32_t n = c.u32();
    for (uint32_t i = 0; i < n && !c.bad; ++i) {
      c.varint();
      c.u8();
      c.u8();
      c.varint();
    }
  } else if (tag == "matePCM " || tag == "matePCM=") {
    if (start + 24 > b.size()) return -3;
    return 24 + static_cast<int64_t>(u32_at(b, start + 20));
  } else if (tag == "mateQXV ") {
    // The header's body length and the body's own size field (after magic and version)
    // must tell the same length.
    if (start + 28 > b.size() || std::memcmp(&b[start + 12], "QXVOICE-", 8) != 0) return -3;
    const uint32_t body = u32_at(b, start + 8);
    if (body != 16 + static_cast<int64_t>(u32_at(b, start + 24))) return -3;
    return 12 + static_cast<int64_t>(body);
  } else if (tag == "mateQXN ") {
    // Walk the qxNoise body: magic, version, frames, units with flags, envelope, pan and
    // oscillators of five values each.
    if (start + 24 > b.size() || std::memcmp(&b[start + 16], "QXNOISE-", 8) != 0) return -3;
    c.pos = start + 28;
    c.varint();
    const uint8_t units = c.u8();
    for (uint8_t u = 0; u < units && !c.bad; ++u) {
      const uint32_t flags = c.varint();
      if (flags & 4) {
        const uint32_t points = c.varint();
        for (uint32_t i = 0; i < points * 2 && !c.bad; ++i) c.varint();
      }
      if (flags & 8) c.u8();
      for (uint32_t bit : {16u, 32u, 64u}) {
        if (flags & bit) {
          for (int i = 0; i < 5; ++i) c.varint();
        }
      }
    }
  } else if (tag == "mateOGGV") {
    if (start + 28 > b.size()) return -3;
    return 12 + 16 + static_cast<int64_t>(u32_at(b, start + 24));
  } else {
    return -1;
  }
  return c.bad ? -3 : static_cast<int64_t>(c.pos - start);
}

inline ParsedSong parse_song(const std::vector<uint8_t>& b) {
  static const struct {
    const char* magic;
    int generation;
    bool tune;
  } magics[] = {{"QXMOSAIKA-050227", 1, false}, {"QXMOSAIKA-050608", 2, false},
                {"QXTUNE--20050608", 2, true},  {"QXMOSAIKA-060115", 3, false},
                {"QXTUNE--20060115", 3, true},  {"QXMOSAIKA-060930", 4, false},
                {"QXTUNE--20060930", 4, true},  {"QXMOSAIKA-071119", 5, false},
                {"QXTUNE--20071119", 5, true}};
  ParsedSong s;
  if (b.size() < 16) {
    s.error = "short header";
    return s;
  }
  s.magic.assign(b.begin(), b.begin() + 16);
  for (const auto& m : magics) {
    if (s.magic == m.magic) {
      s.generation = m.generation;
      s.tune = m.tune;
    }
  }
  if (!s.generation) {
    s.error = "unknown magic";
    return s;
  }
  size_t pos = 16;
  if (s.generation >= 3) {
    if (b.size() < 20) {
      s.error = "short header words";
      return s;
    }
    s.exe_version = u16_at(b, 16);
    s.dummy = u16_at(b, 18);
    pos = 20;
  }
  const std::string end_tag = s.generation == 1 ? "END=====" : "qxsongND";
  for (;;) {
    if (pos + 12 > b.size()) {
      s.error = "missing end chunk at " + std::to_string(pos);
      return s;
    }
    Chunk c;
    c.tag.assign(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos) + 8);
    c.size = u32_at(b, pos + 8);
    c.offset = pos + 12;
    if (c.tag == end_tag) {
      s.end_tag = c.tag;
      if (c.size != 0) s.error = "end chunk size not 0";
      if (pos + 12 != b.size()) s.error = "bytes after the end chunk";
      return s;
    }
    const int64_t measured = measure_body(b, c.offset, c.tag, s.generation, c.size);
    if (measured == -1) {
      s.error = "unknown tag [" + c.tag + "]";
      return s;
    }
    if (measured == -3) {
      s.error = "unreadable body of [" + c.tag + "]";
      return s;
    }
    if (measured >= 0 && measured != c.size) {
      s.error = "size of [" + c.tag + "] is " + std::to_string(c.size) + ", body " +
                std::to_string(measured);
      return s;
    }
    if (c.offset + c.size > b.size()) {
      s.error = "body of [" + c.tag + "] beyond the file";
      return s;
    }
    c.body.assign(b.begin() + static_cast<long>(c.offset),
                  b.begin() + static_cast<long>(c.offset + c.size));
    pos = c.offset + c.size;
    s.chunks.push_back(std::move(c));
  }
}

}  // namespace song_parser
