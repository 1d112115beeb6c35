// Instrument file reader and the loading of the six built-in materials it plays.
#include "io/qxi_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "bytes/bytes.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/streams.h"
#include "project/project.h"
#include "project/targets.h"

namespace {

enum InstrumentCommand : uint8_t {
  QXI_WAIT = 1,
  QXI_NOTE = 2,
  QXI_VOLUME = 3,
  QXI_KEY = 4,
  QXI_REPEAT = 5,
  QXI_LAST = 6,
};

constexpr int32_t NOTE_VELOCITY = 104;
constexpr int32_t INSTRUMENT_NAME_MAX = 16;

struct BuiltinMaterial {
  const char* resource;
  bool noise;
};

const BuiltinMaterial BUILTIN_MATERIALS[INSTRUMENT_UNIT_NUM] = {
    {"QXV_TRIA784", false}, {"QXV_TRIA784", false}, {"QXV_SAW784", false},
    {"QXV_RECT784", false}, {"QXN_HATC", true},     {"QXN_BD6", true},
};

// The file name without its folder, at most 16 characters, without the extension that
// remains within them.
std::string instrument_name(const std::string& path) {
  std::string name = path_find_file_name(path);
  if (name.size() > INSTRUMENT_NAME_MAX) name.resize(INSTRUMENT_NAME_MAX);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

int64_t count_records(ByteSource& s) {
  if (!source_seek(s, 2, SEEK_SET)) return 0;
  int64_t count = 0;
  uint8_t r[3];
  while (read_bytes(r, 3, 1, s)) count += r[1] == QXI_NOTE ? 2 : 1;
  return count;
}

int32_t woice_index(const Project& p, const Woice* w) {
  for (size_t i = 0; i < p.woices.size(); ++i) {
    if (p.woices[i].get() == w) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t saturate(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

int read_instrument_events(Project& p, ByteSource& s) {
  const int64_t division = p.qxi_beat_divide ? p.beat_clock / p.qxi_beat_divide : 0;
  const float measure = static_cast<float>(p.beat_num) * static_cast<float>(p.beat_clock);
  int64_t clock = 0;
  uint8_t r[3];
  while (read_bytes(r, 3, 1, s)) {
    const uint8_t unit = r[0], command = r[1], value = r[2];
    // Repeat and last records carry the divisions since the record before them, as the
    // instrument writer puts them there; they advance the clock like a wait.
    if (command == QXI_WAIT || command == QXI_REPEAT || command == QXI_LAST) {
      clock += division * value;
    }
    if (unit >= INSTRUMENT_UNIT_NUM || command < QXI_NOTE || command > QXI_LAST) continue;
    const int32_t at = saturate(clock);
    switch (command) {
      case QXI_NOTE:
        event_store(p, at, unit, EVENT_VEL, NOTE_VELOCITY);
        event_store(p, at, unit, EVENT_ON, saturate(division * value));
        break;
      case QXI_VOLUME:
        // To the nearest, as the instrument writer scales back: a byte read and written
        // again keeps its value.
        event_store(p, at, unit, EVENT_VOL, (value * 127 + 52) / 104);
        break;
      case QXI_KEY:
        event_store(p, at, unit, EVENT_KEY, ((value + 66) % 256) * 256);
        break;
      default: {
        const float m = std::round(static_cast<float>(clock) / measure);
        const int32_t meas = m > 0.0f ? saturate(static_cast<int64_t>(m)) : 0;
        (command == QXI_REPEAT ? p.repeat_meas : p.last_meas) = meas;
        break;
      }
    }
  }
  return 1;
}

namespace {

// Finds the built-in body by name and adds the Woice it goes into; the source reads the body.
Woice* add_builtin_woice(Project& p, const char* name, ByteSource* source) {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  if (!find_resource(name, &data, &size)) return nullptr;
  *source = source_from_memory(data, size);
  return woice_add(p);
}

}  // namespace

int load_builtin_voice(Project& p, const char* name) {
  ByteSource source;
  Woice* w = add_builtin_woice(p, name, &source);
  if (!w) return 0;
  int unsupported = 0;
  if (!qxvoice_read(p, source, *w, &unsupported)) {
    woice_remove(p, woice_index(p, w));
    return 0;
  }
  return 1;
}

int load_builtin_noise(Project& p, const char* name) {
  ByteSource source;
  Woice* w = add_builtin_woice(p, name, &source);
  if (!w) return 0;
  int unsupported = 0;
  if (!woice_alloc_voices(p, *w, 1) || !voice_init(w->voices[0], WAVE_NOISE) ||
      !qxnoise_read(source, *w->voices[0].noise, &unsupported)) {
    woice_remove(p, woice_index(p, w));
    return 0;
  }
  w->type = WOICE_QXNOISE;
  return 1;
}

int read_instrument(Project& p, ByteSource& s, const std::string& path) {
  std::string name;
  try {
    name = instrument_name(path);
  } catch (const std::bad_alloc&) {
    name.clear();
  }
  // A file of no records is a song of no events, with a record to spare.
  int64_t capacity = std::max<int64_t>(count_records(s), 1);
  if (capacity <= 0 || capacity > INT32_MAX || !source_seek(s, 0, SEEK_SET)) {
    set_error_text(p, "Initialize events");
    return 0;
  }
  units_release(p);
  events_release(p);
  if (!events_allocate(p, static_cast<int32_t>(capacity))) {
    set_error_text(p, "Initialize events");
    return 0;
  }
  uint8_t head[2];
  if (!read_bytes(head, 2, 1, s)) {
    set_error_text(p, "read master.");
    return 0;
  }
  p.beat_num = 4;
  p.beat_clock = 480;
  p.beat_tempo = head[0];
  p.qxi_beat_divide = head[1];
  p.instrument = true;
  if (!units_allocate(p, INSTRUMENT_UNIT_NUM)) {
    set_error_text(p, "read master.");
    return 0;
  }
  read_instrument_events(p, s);
  for (const BuiltinMaterial& m : BUILTIN_MATERIALS) {
    if (!(m.noise ? load_builtin_noise(p, m.resource) : load_builtin_voice(p, m.resource))) {
      set_error_text(p, "load qxi woices.");
      return 0;
    }
  }
  p.name_text = name;
  for (int32_t i = 0; static_cast<size_t>(i) < p.woices.size() && p.woices[i]; ++i) {
    if (!unit_add(p) || static_cast<size_t>(i) >= p.units.size() || !p.units[i]) {
      set_error_text(p, "Initialize units");
      return 0;
    }
    Unit& u = *p.units[static_cast<size_t>(i)];
    char text[NAME_FIELD_SIZE + 1] = {};
    std::snprintf(text, sizeof text, "unit_%02d", static_cast<int>(i));
    std::copy(text, text + NAME_FIELD_SIZE, u.name);
    u.name_len = NAME_FIELD_SIZE;
  }
  return 1;
}

namespace {

// The material body as the newest layout writes it, or empty when it cannot be written.
std::string material_body(const Woice& w) {
  MemoryStream body;
  if (!body.file()) return {};
  int32_t length = 0;
  int ok = 0;
  if (w.type == WOICE_QXVOICE) {
    ok = qxvoice_write(body.file(), &length, w, TARGET_X5X_NEW_NOISE);
  } else if (w.type == WOICE_QXNOISE && !w.voices.empty() && w.voices[0].noise) {
    ok = qxnoise_write(body.file(), &length, *w.voices[0].noise, 0);
  }
  if (!body.finish() || !ok) return {};
  return std::string(body.data(), body.size());
}

}  // namespace

bool woice_is_builtin(const Song& p, int32_t index) {
  if (index < 0 || index >= INSTRUMENT_UNIT_NUM || static_cast<size_t>(index) >= p.woices.size() ||
      !p.woices[static_cast<size_t>(index)]) {
    return false;
  }
  const Woice& w = *p.woices[static_cast<size_t>(index)];
  const BuiltinMaterial& m = BUILTIN_MATERIALS[index];
  if (w.type != (m.noise ? WOICE_QXNOISE : WOICE_QXVOICE)) return false;
  try {
    Project scratch;
    scratch.console = [](std::string_view) {};
    const char* failure = nullptr;
    if (!project_create_tables(scratch, &failure)) return false;
    if (!(m.noise ? load_builtin_noise(scratch, m.resource)
                  : load_builtin_voice(scratch, m.resource))) {
      return false;
    }
    const std::string builtin = material_body(*scratch.woices[0]);
    return !builtin.empty() && material_body(w) == builtin;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
