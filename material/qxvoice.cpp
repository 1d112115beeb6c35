// qxVoice bodies: reading into a Woice, writing the old, mid and new layouts, and the size
// figure of the conversion lines. Every count read is checked against the bytes left
// before anything is allocated, so a damaged body fails without building anything large.
#include "material/qxvoice.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "bytes/bytes.h"
#include "platform/streams.h"
#include "project/project.h"
#include "project/targets.h"
#include "synth/wave_convert.h"

namespace {

constexpr char QXVOICE_MAGIC[8] = {'Q', 'X', 'V', 'O', 'I', 'C', 'E', '-'};
constexpr uint32_t VOICE_FLAGS_KNOWN = 0x7;
constexpr uint32_t DATA_FLAGS_KNOWN = DATA_WAVE | DATA_ENVELOPE;
// The smallest voice block: six one-byte VarInts.
constexpr int64_t VOICE_BLOCK_MIN = 6;
// Samples the waves of one woice may take to analyse for the oldest layout, all voices
// together. Coordinates are bytes, so no real wave needs a long period, while each sample
// costs 31 sines and cosines: without a bound a few bytes per voice could cost seconds.
constexpr int64_t ANALYSIS_SAMPLE_MAX = 1 << 14;

int read_i32_varint(ByteSource& s, int32_t* v) {
  uint32_t u = 0;
  if (!read_varint(s, &u)) return 0;
  *v = static_cast<int32_t>(u);
  return 1;
}

// A count read from the body is only believed when the bytes left can hold that many
// items of at least `item_min` bytes each.
bool count_fits(const ByteSource& s, int64_t count, int64_t item_min) {
  return count >= 0 && count * item_min <= source_remaining(s);
}

void clear_wave(Voice& v) {
  v.points.clear();
  v.points.shrink_to_fit();
  v.point_num = 0;
}

void clear_envelope(Voice& v) {
  v.env_points.clear();
  v.env_points.shrink_to_fit();
}

int read_envelope(ByteSource& s, Voice& v) {
  if (!read_i32_varint(s, &v.env_fps) || !read_i32_varint(s, &v.env_head_num) ||
      !read_i32_varint(s, &v.env_body_num) || !read_i32_varint(s, &v.env_tail_num)) {
    return 0;
  }
  if (v.env_body_num != 0 || v.env_tail_num != 1) return 0;
  int64_t n = static_cast<int64_t>(v.env_head_num) + 1;
  if (v.env_head_num < 0 || !count_fits(s, n, 2)) return 0;
  try {
    v.env_points.assign(static_cast<size_t>(n), Point{});
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (Point& pt : v.env_points) {
    if (!read_i32_varint(s, &pt.x) || !read_i32_varint(s, &pt.y)) return 0;
  }
  return 1;
}

int write_i32_varint(int32_t v, FILE* f, int32_t* counter) {
  return write_varint(static_cast<uint32_t>(v), f, counter);
}

int envelope_point_count(const Voice& v) {
  int64_t n = static_cast<int64_t>(v.env_head_num) + v.env_body_num + v.env_tail_num;
  if (v.env_head_num < 0 || v.env_body_num < 0 || v.env_tail_num < 0 ||
      n > static_cast<int64_t>(v.env_points.size())) {
    return -1;
  }
  return static_cast<int>(n);
}

// The envelope the old and mid layouts give a voice that has none: full at once, then gone.
constexpr Point DEFAULT_ENVELOPE[2] = {Point{0, 128}, Point{1, 1}};
constexpr int32_t DEFAULT_ENVELOPE_FPS = 100;

int write_envelope(FILE* f, int32_t* counter, int32_t fps, int32_t head, int32_t body, int32_t tail,
                   const Point* points, int n) {
  if (!write_i32_varint(fps, f, counter) || !write_i32_varint(head, f, counter) ||
      !write_i32_varint(body, f, counter) || !write_i32_varint(tail, f, counter)) {
    return 0;
  }
  for (int k = 0; k < n; ++k) {
    if (!write_i32_varint(points[k].x, f, counter) || !write_i32_varint(points[k].y, f, counter)) {
      return 0;
    }
  }
  return 1;
}

// The body layout `target` keeps a qxVoice in; the newest for any other.
QxVoiceLayout body_layout(int target) {
  const TargetRow* row = target_row(target);
  return row && row->qxvoice_layout != QXVOICE_NONE ? row->qxvoice_layout : QXVOICE_NEW_BODY;
}

int write_voice(FILE* f, int32_t* counter, const Woice& woice, int index, int target) {
  const Voice& v = woice.voices[static_cast<size_t>(index)];
  if (!write_i32_varint(v.basic_key, f, counter) || !write_i32_varint(v.volume, f, counter) ||
      !write_i32_varint(v.pan, f, counter) || !write_varint(float_bits(v.tuning), f, counter) ||
      !write_varint(v.voice_flags, f, counter)) {
    return 0;
  }
  const QxVoiceLayout layout = body_layout(target);
  const bool needs_envelope = layout == QXVOICE_OLD_BODY || layout == QXVOICE_MID_BODY;
  const bool default_envelope = needs_envelope && !(v.data_flags & DATA_ENVELOPE);
  // The oldest layout holds no coordinate waves: the downgrade step has converted them.
  if (layout == QXVOICE_OLD_BODY && (v.data_flags & DATA_WAVE) && v.wave_type == WAVE_COORDINATE) {
    return 0;
  }
  const uint32_t data_flags = v.data_flags | (default_envelope ? DATA_ENVELOPE : 0u);
  if (!write_varint(data_flags, f, counter)) return 0;
  if ((v.data_flags & DATA_WAVE) && !qxvoice_write_wave(f, v, counter)) return 0;
  if (default_envelope) {
    return write_envelope(f, counter, DEFAULT_ENVELOPE_FPS, 1, 0, 1, DEFAULT_ENVELOPE, 2);
  }
  if (v.data_flags & DATA_ENVELOPE) {
    int n = envelope_point_count(v);
    if (n < 0) return 0;
    return write_envelope(f, counter, v.env_fps, v.env_head_num, v.env_body_num, v.env_tail_num,
                          v.env_points.data(), n);
  }
  return 1;
}

int32_t vsize(int32_t v) {
  return varint_size(static_cast<uint32_t>(v));
}

// Whether the coordinate waves the oldest layout converts are short enough to analyse.
bool analysis_within_bound(const Woice& woice) {
  int64_t samples = 0;
  for (const Voice& v : woice.voices) {
    if ((v.data_flags & DATA_WAVE) && v.wave_type == WAVE_COORDINATE) {
      samples += std::max<int64_t>(v.resolution, 0);
    }
  }
  return samples <= ANALYSIS_SAMPLE_MAX;
}

}  // namespace

int qxvoice_read_wave(ByteSource& s, Voice& v) {
  clear_wave(v);
  int32_t type = 0;
  int32_t n = 0;
  if (!read_i32_varint(s, &type)) return 0;
  v.wave_type = type;
  if (type == WAVE_COORDINATE) {
    if (!read_i32_varint(s, &n) || !read_i32_varint(s, &v.resolution)) return 0;
  } else if (type == WAVE_OSCILLATOR) {
    if (!read_i32_varint(s, &n)) return 0;
  } else {
    return 0;
  }
  // Both kinds take at least two bytes a point.
  if (!count_fits(s, n, 2)) return 0;
  try {
    v.points.assign(static_cast<size_t>(n), Point{});
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (Point& pt : v.points) {
    if (type == WAVE_COORDINATE) {
      uint8_t xy[2];
      if (!read_bytes(xy, 1, 2, s)) {
        clear_wave(v);
        return 0;
      }
      pt.x = xy[0];
      pt.y = static_cast<int8_t>(xy[1]);
    } else if (!read_i32_varint(s, &pt.x) || !read_i32_varint(s, &pt.y)) {
      clear_wave(v);
      return 0;
    }
  }
  v.point_num = n;
  return 1;
}

int qxvoice_read(Project& p, ByteSource& s, Woice& woice, int* unsupported) {
  char magic[8];
  uint32_t version = 0;
  uint32_t body_size = 0;
  if (!read_bytes(magic, 8, 1, s) || std::memcmp(magic, QXVOICE_MAGIC, 8) != 0) return 0;
  if (!read_u32(s, &version) || !read_u32(s, &body_size)) return 0;
  if (version > QXVOICE_VERSION_NEW) {
    if (unsupported) *unsupported = 1;
    return 0;
  }
  uint32_t key = 0, reserved_a = 0, reserved_b = 0, count = 0;
  if (!read_varint(s, &key) || !read_varint(s, &reserved_a) || !read_varint(s, &reserved_b)) {
    return 0;
  }
  woice.x3x_basic_key = static_cast<int32_t>(key);
  if (reserved_a != 0 || reserved_b != 0) {
    if (unsupported) *unsupported = 1;
    return 0;
  }
  if (!read_varint(s, &count)) return 0;
  if (count > static_cast<uint32_t>(INT32_MAX) || !count_fits(s, count, VOICE_BLOCK_MIN)) return 0;
  if (!woice_alloc_voices(p, woice, static_cast<int32_t>(count))) return 0;

  for (Voice& v : woice.voices) {
    uint32_t tuning_bits = 0;
    bool ok = read_i32_varint(s, &v.basic_key) && read_i32_varint(s, &v.volume) &&
              read_i32_varint(s, &v.pan) && read_varint(s, &tuning_bits) &&
              read_varint(s, &v.voice_flags) && read_varint(s, &v.data_flags);
    if (ok) v.tuning = bits_float(tuning_bits);
    if (ok && ((v.voice_flags & ~VOICE_FLAGS_KNOWN) || (v.data_flags & ~DATA_FLAGS_KNOWN))) {
      if (unsupported) *unsupported = 1;
      ok = false;
    }
    if (ok && (v.data_flags & DATA_WAVE)) ok = qxvoice_read_wave(s, v);
    if (ok && (v.data_flags & DATA_ENVELOPE) && !read_envelope(s, v)) {
      clear_envelope(v);
      ok = false;
    }
    if (!ok) {
      // Leave no half-read voices behind for the caller to trip over.
      woice_free_voices(p, &woice);
      return 0;
    }
  }
  woice.type = WOICE_QXVOICE;
  return 1;
}

int qxvoice_write_wave(FILE* f, const Voice& v, int32_t* counter) {
  if (v.point_num < 0 || static_cast<size_t>(v.point_num) > v.points.size()) return 0;
  if (!write_i32_varint(v.wave_type, f, counter)) return 0;
  if (v.wave_type == WAVE_COORDINATE) {
    if (!write_i32_varint(v.point_num, f, counter) || !write_i32_varint(v.resolution, f, counter)) {
      return 0;
    }
    for (int32_t k = 0; k < v.point_num; ++k) {
      const Point& pt = v.points[static_cast<size_t>(k)];
      uint8_t xy[2] = {static_cast<uint8_t>(pt.x), static_cast<uint8_t>(pt.y)};
      if (fwrite(xy, 1, 2, f) != 2) return 0;
      if (counter) *counter += 2;
    }
  } else if (v.wave_type == WAVE_OSCILLATOR) {
    if (!write_i32_varint(v.point_num, f, counter)) return 0;
    for (int32_t k = 0; k < v.point_num; ++k) {
      const Point& pt = v.points[static_cast<size_t>(k)];
      if (!write_i32_varint(pt.x, f, counter) || !write_i32_varint(pt.y, f, counter)) return 0;
    }
  }
  return 1;
}

int qxvoice_downgrade_waves(Run& run, Woice& woice) {
  if (!analysis_within_bound(woice)) return 0;
  if (woice.voice_num < 0 || static_cast<size_t>(woice.voice_num) > woice.voices.size()) return 0;
  const std::string name = name_field_text(woice.name);
  for (int i = 0; i < woice.voice_num; ++i) {
    Voice& v = woice.voices[static_cast<size_t>(i)];
    // Only a voice that has a wave can have one to convert.
    if (!(v.data_flags & DATA_WAVE) || v.wave_type != WAVE_COORDINATE) continue;
    if (!coordinate_to_oscillator(run, v, name.c_str(), i)) return 0;
  }
  return 1;
}

int qxvoice_write(FILE* f, int32_t* length, const Woice& woice, int target) {
  const QxVoiceLayout layout = body_layout(target);
  if (!f || (layout == QXVOICE_OLD_BODY && !analysis_within_bound(woice))) return 0;
  uint32_t version = layout == QXVOICE_OLD_BODY   ? QXVOICE_VERSION_OLD
                     : layout == QXVOICE_MID_BODY ? QXVOICE_VERSION_MID
                                                  : QXVOICE_VERSION_NEW;
  if (fwrite(QXVOICE_MAGIC, 8, 1, f) != 1 || !write_u32(f, version)) return 0;
  const int64_t size_at = stream_tell(f);
  if (size_at < 0 || !write_u32(f, 0)) return 0;

  int32_t count = 0;
  const TargetRow* row = target_row(target);
  uint32_t key = row && old_generation(*row) ? X3X_BASIC_KEY_NEUTRAL : 0u;
  if (woice.voice_num < 0 || static_cast<size_t>(woice.voice_num) > woice.voices.size()) return 0;
  if (!write_varint(key, f, &count) || !write_varint(0, f, &count) || !write_varint(0, f, &count) ||
      !write_i32_varint(woice.voice_num, f, &count)) {
    return 0;
  }
  for (int i = 0; i < woice.voice_num; ++i) {
    if (!write_voice(f, &count, woice, i, target)) return 0;
  }

  const int64_t end = stream_tell(f);
  if (end < 0 || !stream_seek(f, size_at, SEEK_SET) ||
      !write_u32(f, static_cast<uint32_t>(count)) || !stream_seek(f, end, SEEK_SET)) {
    return 0;
  }
  if (length) *length = 16 + count;
  return 1;
}

int32_t qxvoice_body_size(const Woice& woice) {
  int32_t size =
      15 + varint_size(QXVOICE_VERSION_NEW) + vsize(woice.x3x_basic_key) + vsize(woice.voice_num);
  for (const Voice& v : woice.voices) {
    size += vsize(v.basic_key) + vsize(v.volume) + vsize(v.pan) +
            varint_size(float_bits(v.tuning)) + varint_size(v.voice_flags) +
            varint_size(v.data_flags);
    if (v.data_flags & DATA_WAVE) {
      size += vsize(v.wave_type) + vsize(v.point_num);
      if (v.wave_type == WAVE_COORDINATE) size += vsize(v.resolution);
      if (v.wave_type == WAVE_COORDINATE || v.wave_type == WAVE_OSCILLATOR) {
        size += 2 * v.point_num;
      }
    }
    if (v.data_flags & DATA_ENVELOPE) {
      size +=
          vsize(v.env_fps) + vsize(v.env_head_num) + vsize(v.env_body_num) + vsize(v.env_tail_num);
      for (const Point& pt : v.env_points) size += vsize(pt.x) + vsize(pt.y);
    }
  }
  return size;
}
