// qxNoise bodies: reading, writing in the old or new layout (the old one knows only the
// first seven waveforms, so newer ones are downgraded and reported), releasing, and the
// size figure of the conversion lines.
#include "material/qxnoise.h"

#include <cmath>
#include <cstring>
#include <new>

#include "bytes/bytes.h"
#include "platform/streams.h"
#include "project/project.h"

const char* const NOISE_WAVEFORM_NAMES[NOISE_WAVEFORM_NUM] = {
    "none",  "sine",  "saw",   "rect",   "random", "saw2", "rect2", "tri", "random2",
    "rect3", "rect4", "rect8", "rect16", "saw3",   "saw4", "saw6",  "saw8"};

namespace {

constexpr char QXNOISE_MAGIC[8] = {'Q', 'X', 'N', 'O', 'I', 'S', 'E', '-'};
constexpr int32_t NOISE_UNIT_MAX = 4;
constexpr int32_t NOISE_ENV_MAX = 3;
constexpr uint32_t NOISE_FLAGS_KNOWN =
    NOISE_ENVELOPE | NOISE_PAN | NOISE_OSC_MAIN | NOISE_OSC_FREQ | NOISE_OSC_VOLU;
// Waveform the old layout writes for each index of the table; anything past it is "none".
constexpr int32_t OLD_WAVEFORM[NOISE_WAVEFORM_NUM] = {0, 1, 2, 3, 4, 5, 6, 1, 4,
                                                      3, 3, 3, 3, 2, 2, 2, 2};
constexpr int32_t OLD_WAVEFORM_LAST = 6;

int read_i32_varint(ByteSource& s, int32_t* v) {
  uint32_t u = 0;
  if (!read_varint(s, &u)) return 0;
  *v = static_cast<int32_t>(u);
  return 1;
}

// Tenths travel as int32: the float times ten, cut toward zero. Values the int32 cannot
// hold are pinned to its ends instead of overflowing.
int32_t tenths(float value) {
  float t = value * 10.0f;
  if (std::isnan(t)) return 0;
  if (t >= 2147483648.0f) return INT32_MAX;
  if (t <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(t);
}

int32_t vsize(int32_t v) {
  return varint_size(static_cast<uint32_t>(v));
}

int read_unit(ByteSource& s, NoiseUnit& u, int* unsupported) {
  u.enabled = 1;
  uint32_t flags = 0;
  if (!read_varint(s, &flags)) return 0;
  if (flags & ~NOISE_FLAGS_KNOWN) {
    if (unsupported) *unsupported = 1;
    return 0;
  }
  if (flags & NOISE_ENVELOPE) {
    uint32_t n = 0;
    if (!read_varint(s, &n)) return 0;
    if (n > static_cast<uint32_t>(NOISE_ENV_MAX)) {
      if (unsupported) *unsupported = 1;
      return 0;
    }
    if (static_cast<int64_t>(n) * 2 > source_remaining(s)) return 0;
    u.env_points.assign(n, NoisePoint{});
    u.env_num = static_cast<int32_t>(n);
    for (NoisePoint& pt : u.env_points) {
      if (!read_i32_varint(s, &pt.time) || !read_i32_varint(s, &pt.level)) return 0;
    }
  }
  if (flags & NOISE_PAN) {
    int8_t pan = 0;
    if (!read_i8(s, &pan)) return 0;
    u.pan = pan;
  }
  if ((flags & NOISE_OSC_MAIN) && !qxnoise_read_osc(s, u.osc_main)) return 0;
  if ((flags & NOISE_OSC_FREQ) && !qxnoise_read_osc(s, u.osc_freq)) return 0;
  if ((flags & NOISE_OSC_VOLU) && !qxnoise_read_osc(s, u.osc_volu)) return 0;
  return 1;
}

int read_design(ByteSource& s, NoiseDesign& design, int* unsupported) {
  char magic[8];
  uint32_t version = 0;
  if (!read_bytes(magic, 8, 1, s) || std::memcmp(magic, QXNOISE_MAGIC, 8) != 0) return 0;
  if (!read_u32(s, &version)) return 0;
  if (version > QXNOISE_VERSION_NEW) {
    if (unsupported) *unsupported = 1;
    return 0;
  }
  int8_t count = 0;
  if (!read_i32_varint(s, &design.sample_num) || !read_i8(s, &count)) return 0;
  if (count < 0) return 0;
  if (count > NOISE_UNIT_MAX) {
    if (unsupported) *unsupported = 1;
    return 0;
  }
  // Each unit holds at least its flags byte.
  if (count > source_remaining(s)) return 0;
  design.units.assign(static_cast<size_t>(count), NoiseUnit{});
  design.unit_num = count;
  for (NoiseUnit& u : design.units) {
    if (!read_unit(s, u, unsupported)) return 0;
  }
  return 1;
}

void downgrade_waveform(Run& run, NoiseOsc& osc, const char* osc_name, const char* woice_name) {
  // Compared unsigned so that indexes read as negative numbers count as outside the table.
  auto index = static_cast<uint32_t>(osc.waveform);
  if (index <= OLD_WAVEFORM_LAST) return;
  const char* old_name = index < NOISE_WAVEFORM_NUM ? NOISE_WAVEFORM_NAMES[index] : "unknown";
  int32_t replacement = index < NOISE_WAVEFORM_NUM ? OLD_WAVEFORM[index] : 0;
  osc.waveform = replacement;
  record_loss_of(run, LOSS_CLAMP, "noise-waveforms", -1, std::string(woice_name) + "." + osc_name);
  print_text(run, "\n* converted qxNoise [%s.%s] waveform from '%s' to '%s'", woice_name, osc_name,
             old_name, NOISE_WAVEFORM_NAMES[replacement]);
}

int write_i32_varint(int32_t v, FILE* f, int32_t* counter) {
  return write_varint(static_cast<uint32_t>(v), f, counter);
}

int write_unit(FILE* f, const NoiseUnit& u, int32_t* count) {
  uint32_t flags = NOISE_ENVELOPE;
  if (u.pan != 0) flags |= NOISE_PAN;
  if (u.osc_main.waveform != 0) flags |= NOISE_OSC_MAIN;
  if (u.osc_freq.waveform != 0) flags |= NOISE_OSC_FREQ;
  if (u.osc_volu.waveform != 0) flags |= NOISE_OSC_VOLU;
  if (u.env_num < 0 || static_cast<size_t>(u.env_num) > u.env_points.size()) return 0;
  if (!write_varint(flags, f, count) || !write_i32_varint(u.env_num, f, count)) return 0;
  for (int32_t k = 0; k < u.env_num; ++k) {
    const NoisePoint& pt = u.env_points[static_cast<size_t>(k)];
    if (!write_i32_varint(pt.time, f, count) || !write_i32_varint(pt.level, f, count)) return 0;
  }
  if (flags & NOISE_PAN) {
    if (!write_u8(f, static_cast<uint8_t>(u.pan))) return 0;
    ++*count;
  }
  if ((flags & NOISE_OSC_MAIN) && !qxnoise_write_osc(f, u.osc_main, count)) return 0;
  if ((flags & NOISE_OSC_FREQ) && !qxnoise_write_osc(f, u.osc_freq, count)) return 0;
  if ((flags & NOISE_OSC_VOLU) && !qxnoise_write_osc(f, u.osc_volu, count)) return 0;
  return 1;
}

int32_t osc_size(const NoiseOsc& o) {
  return vsize(o.waveform) + vsize(o.reverse) + vsize(tenths(o.freq)) + vsize(tenths(o.volume)) +
         vsize(tenths(o.offset));
}

}  // namespace

int qxnoise_read_osc(ByteSource& s, NoiseOsc& osc) {
  int32_t reverse = 0, freq = 0, volume = 0, offset = 0;
  if (!read_i32_varint(s, &osc.waveform) || !read_i32_varint(s, &reverse) ||
      !read_i32_varint(s, &freq) || !read_i32_varint(s, &volume) || !read_i32_varint(s, &offset)) {
    return 0;
  }
  osc.reverse = reverse != 0 ? 1 : 0;
  osc.freq = static_cast<float>(freq) / 10.0f;
  osc.volume = static_cast<float>(volume) / 10.0f;
  osc.offset = static_cast<float>(offset) / 10.0f;
  return 1;
}

int qxnoise_read(ByteSource& s, NoiseDesign& design, int* unsupported) {
  qxnoise_free(design);
  int ok = 0;
  try {
    ok = read_design(s, design, unsupported);
  } catch (const std::bad_alloc&) {
    ok = 0;
  }
  if (!ok) qxnoise_free(design);
  return ok;
}

int qxnoise_write_osc(FILE* f, const NoiseOsc& osc, int32_t* counter) {
  return write_i32_varint(osc.waveform, f, counter) && write_i32_varint(osc.reverse, f, counter) &&
         write_i32_varint(tenths(osc.freq), f, counter) &&
         write_i32_varint(tenths(osc.volume), f, counter) &&
         write_i32_varint(tenths(osc.offset), f, counter);
}

int qxnoise_downgrade_waveforms(Run& run, NoiseDesign& design, const char* woice_name) {
  const int32_t units = design.unit_num < 0 ? 0 : design.unit_num;
  if (static_cast<size_t>(units) > design.units.size()) return 0;
  if (!woice_name) woice_name = "";
  for (int32_t i = 0; i < units; ++i) {
    NoiseUnit& u = design.units[static_cast<size_t>(i)];
    downgrade_waveform(run, u.osc_main, "main", woice_name);
    downgrade_waveform(run, u.osc_freq, "freq", woice_name);
    downgrade_waveform(run, u.osc_volu, "volu", woice_name);
  }
  return 1;
}

int qxnoise_write(FILE* f, int32_t* counter, const NoiseDesign& design, int old) {
  if (!f) return 0;
  int32_t count = (counter ? *counter : 0) + 12;
  uint32_t version = old ? QXNOISE_VERSION_OLD : QXNOISE_VERSION_NEW;
  if (fwrite(QXNOISE_MAGIC, 8, 1, f) != 1 || !write_u32(f, version) ||
      !write_i32_varint(design.sample_num, f, &count)) {
    return 0;
  }
  const int64_t count_at = stream_tell(f);
  if (count_at < 0 || !write_u8(f, 0)) return 0;
  ++count;

  int32_t units = design.unit_num < 0 ? 0 : design.unit_num;
  if (static_cast<size_t>(units) > design.units.size()) return 0;
  int32_t written = 0;
  for (int32_t i = 0; i < units; ++i) {
    const NoiseUnit& u = design.units[static_cast<size_t>(i)];
    if (!u.enabled) continue;
    if (!write_unit(f, u, &count)) return 0;
    ++written;
  }

  const int64_t end = stream_tell(f);
  if (end < 0 || !stream_seek(f, count_at, SEEK_SET) ||
      !write_u8(f, static_cast<uint8_t>(written)) || !stream_seek(f, end, SEEK_SET)) {
    return 0;
  }
  if (counter) *counter = count;
  return 1;
}

void qxnoise_free(NoiseDesign& design) {
  for (NoiseUnit& u : design.units) {
    u.env_points.clear();
    u.env_points.shrink_to_fit();
  }
  design.units.clear();
  design.units.shrink_to_fit();
  design.sample_num = 0;
  design.unit_num = 0;
}

int32_t qxnoise_body_size(const NoiseDesign& design) {
  int32_t size = 12 + vsize(design.sample_num) + vsize(design.unit_num);
  for (const NoiseUnit& u : design.units) {
    if (!u.enabled) continue;
    size += 1 + vsize(u.env_num);
    for (const NoisePoint& pt : u.env_points) size += vsize(pt.time) + vsize(pt.level);
    if (u.pan != 0) size += vsize(u.pan);
    for (const NoiseOsc* o : {&u.osc_main, &u.osc_freq, &u.osc_volu}) {
      if (o->waveform != 0) size += osc_size(*o);
    }
  }
  return size;
}
