// The in-memory song (Master values, tables of units, woices, delays and overdrives, the
// event store) and, beside it, the run: what one run of the program needs whatever song it
// works on. Readers fill a Project, which is both; the downgrade step and the writers read
// the song and report through the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "project/events.h"

struct ByteSource;

// Woice kinds (`Woice::type`).
enum WoiceType : uint32_t {
  WOICE_NONE = 0,
  WOICE_PCM = 1,
  WOICE_QXVOICE = 2,
  WOICE_QXNOISE = 3,
  WOICE_OGG = 4,
};

// Voice wave kinds (`Voice::wave_type`).
enum WaveType : int32_t {
  WAVE_COORDINATE = 0,
  WAVE_OSCILLATOR = 1,
  WAVE_NOISE = 2,
  WAVE_PCM = 3,
  WAVE_OGG = 4,
};

// Voice data flags.
constexpr uint32_t DATA_WAVE = 1;
constexpr uint32_t DATA_ENVELOPE = 2;

constexpr int32_t PROJECT_WOICE_CAPACITY = 100;
constexpr int32_t PROJECT_UNIT_CAPACITY = 50;
constexpr int32_t PROJECT_DELAY_CAPACITY = 4;
constexpr int32_t PROJECT_OVERDRIVE_CAPACITY = 2;
constexpr int32_t NAME_FIELD_SIZE = 16;
constexpr int32_t FREQ_TABLE_SIZE = 3072;
constexpr size_t ERROR_TEXT_SIZE = 32;  // 31 characters and the terminator
constexpr size_t REPORT_TEXT_MAX = 63;
constexpr size_t PATH_TEXT_MAX = 259;

// Sampled material. `samples` holds sample_num * bits * channels / 8 bytes exactly as the
// song file stores them (8-bit unsigned with 128 as silence, 16-bit signed little-endian).
struct InputFile;

struct PcmBuffer {
  int32_t channels = 0;
  int32_t sample_rate = 0;
  int32_t bits = 0;
  int32_t sample_num = 0;
  int32_t head_num = 0;  // extra frame counts the material writer adds to sample_num;
  int32_t tail_num = 0;  // always 0 in this program
  std::vector<uint8_t> samples;
  // Frames left in the input file (samples then empty): every target writes a PCM body
  // unchanged, so it is copied from there when written. Their byte count follows from
  // sample_num, channels and bits.
  std::shared_ptr<InputFile> input;
  int64_t input_offset = 0;
};

// Waveforms a qxNoise oscillator can name, old and new layouts together.
constexpr int NOISE_WAVEFORM_NUM = 17;

struct NoiseOsc {
  int32_t waveform = 0;  // 0 "none": the oscillator is absent
  float freq = 0.0f;     // Hz
  float volume = 0.0f;   // percent
  float offset = 0.0f;   // percent of one period
  int32_t reverse = 0;
};

struct NoisePoint {
  int32_t time = 0;   // milliseconds of the segment that ends here
  int32_t level = 0;  // percent
};

struct NoiseUnit {
  int32_t enabled = 0;
  int32_t env_num = 0;
  std::vector<NoisePoint> env_points;
  int32_t pan = 0;  // -100 left .. 100 right
  NoiseOsc osc_main;
  NoiseOsc osc_freq;
  NoiseOsc osc_volu;
};

struct NoiseDesign {
  int32_t sample_num = 0;  // frames at 44100 Hz
  int32_t unit_num = 0;
  std::vector<NoiseUnit> units;
};

struct OggStream {
  int32_t header_values[3] = {0, 0, 0};  // carried unchanged, meaning unknown
  int32_t size = 0;
  std::vector<uint8_t> data;  // empty: no stream
};

// The five OGG operations, installed once per run before loading. An empty slot means
// OGG woices can be neither read, written nor converted.
struct OggCodec {
  int32_t (*ogg_body_size)(const OggStream* stream) = nullptr;
  int (*ogg_write_body)(const OggStream* stream, FILE* file) = nullptr;
  int (*ogg_decode)(const OggStream* stream, PcmBuffer* pcm) = nullptr;
  int (*ogg_read_body)(ByteSource& source, OggStream* stream) = nullptr;
  void (*ogg_release)(std::unique_ptr<OggStream>& stream) = nullptr;
};

struct Point {
  int32_t x = 0;
  int32_t y = 0;
};

struct Voice {
  int32_t basic_key = 0;
  int32_t volume = 0;
  int32_t pan = 0;
  float tuning = 0.0f;
  uint32_t voice_flags = 0;
  uint32_t data_flags = 0;
  int32_t wave_type = 0;
  std::unique_ptr<PcmBuffer> pcm;      // created by voice_init
  std::unique_ptr<NoiseDesign> noise;  // created by voice_init
  std::unique_ptr<OggStream> ogg;      // created by voice_init
  int32_t point_num = 0;
  int32_t resolution = 0;
  std::vector<Point> points;  // coordinate (x, y) or oscillator (harmonic, amplitude)
  int32_t env_fps = 0;
  int32_t env_head_num = 0;
  int32_t env_body_num = 0;
  int32_t env_tail_num = 0;
  std::vector<Point> env_points;
};

// One rendered cycle of a voice: head, body and tail frame counts and interleaved
// stereo 16-bit samples.
struct VoiceInstance {
  int32_t head_num = 0;
  int32_t body_num = 0;
  int32_t tail_num = 0;
  std::vector<int16_t> samples;
};

struct Woice {
  int32_t voice_num = 0;
  char name[NAME_FIELD_SIZE] = {};
  int32_t name_len = 0;
  uint32_t type = WOICE_NONE;
  std::vector<Voice> voices;
  std::vector<VoiceInstance> instances;
  float x3x_tuning = 0.0f;  // 0 stands for 1.0
  int32_t x3x_basic_key = 0;
};

struct Unit {
  char name[NAME_FIELD_SIZE] = {};  // not necessarily NUL-terminated
  int32_t name_len = 0;
};

struct Delay {
  int32_t in_use = 0;
  int32_t delay_unit = 0;
  int32_t group = 0;
  float delay_value_a = 0.0f;
  float delay_value_b = 0.0f;
};

struct Overdrive {
  int32_t in_use = 0;
  int32_t group = 0;
  float cut = 0.0f;
  float amp = 0.0f;
};

// What one song is: its Master values, texts, effects, units, woices and events. Readers
// fill it; the downgrade step and the writers only read it.
struct Song {
  uint8_t file_magic[16] = {};  // the magic it was loaded from
  bool instrument = false;      // loaded from an instrument file

  // Effects.
  std::vector<Overdrive> overdrives;
  int32_t overdrive_max = 0;
  std::vector<Delay> delays;
  int32_t delay_max = 0;

  // Event store (see project/events.h): the events in time order, the puts not yet placed
  // among them, and the records the readers' pre-count allows and those taken.
  EventArray events;
  EventArray event_puts;
  std::unique_ptr<EventSummary> event_summary;  // see events_summarise
  int32_t event_max = 0;
  int32_t event_num = 0;

  // Master.
  int32_t meas_num = 1;
  int32_t beat_clock = 480;
  int32_t beat_num = 4;
  float beat_tempo = 120.0f;
  int32_t repeat_meas = 0;
  int32_t last_meas = 0;

  std::optional<std::string> name_text;
  std::optional<std::string> comment_text;
  uint8_t qxi_beat_divide = 0;

  std::vector<std::unique_ptr<Unit>> units;  // empty slots are null
  int32_t unit_max = 0;
  std::vector<std::unique_ptr<Woice>> woices;  // empty slots are null
  int32_t woice_max = 0;
};

// One loss a conversion says, kept as a record beside its line so that the inspection can
// hand it to scripts (app/info.h names the fields there). Made by the downgrade step and the
// loss report as they print the line, never read back from the text.
enum LossKind : uint8_t {
  LOSS_DROPPED_KIND,  // events of a kind the target drops: `what` the kind, `index` the unit
  LOSS_MATERIAL,      // a woice rendered or decoded to PCM: `what` its kind, `index`, `name`,
                      // `from` and `to` its bytes
  LOSS_UNIT,          // a unit whose events the output leaves out: `index`, `name` if it has one
  LOSS_CLAMP,         // values held, rounded or replaced to fit: `what`; `from` and `to` for one,
                      // `name` for a part of a woice
  LOSS_NOT_WRITTEN,   // what the output leaves out: `what`
};

struct LossRecord {
  LossKind kind = LOSS_NOT_WRITTEN;
  std::string what;
  int64_t count = 1;  // events, values or things of the record
  int32_t index = -1;
  std::optional<std::string> name;
  std::optional<double> from;
  std::optional<double> to;
};

// Takes a record and appends the event to the list as it stands (readers whose files list
// events in time order, with no puts queued); returns 0 when every record has been taken.
inline int event_store(Song& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_num < 0 || p.event_num >= p.event_max) return 0;
  if (p.event_summary) p.event_summary.reset();
  p.events.push_back({clock, value, unit_no, kind});
  p.event_num++;
  return 1;
}

// What one run needs beside the songs it works on: the tables and codecs every conversion
// uses, the options, the log of console lines and the ErrorText, and the warnings given.
struct Run {
  std::string module_folder;
  std::vector<float> freq_table;  // empty: absent
  OggCodec ogg_codec;
  int32_t group_max = 0;
  // The file being loaded, while a reader may leave PCM frames in it.
  std::shared_ptr<InputFile> loading;
  // The event kinds a conversion has warned about, each said once.
  bool kind_warned[EVENT_KIND_NUM] = {};
  // The losses of the last downgrade step, in the order it said them.
  std::vector<LossRecord> losses;
  std::string report_text;
  // The system's reason for the failure report_text and error_text tell, in words, when a
  // system call failed ("No space left on device"); empty otherwise. Kept apart from the
  // texts, which the dialogue shows as they are: batch mode and --info add it after them.
  std::string error_reason;
  // Where print_text goes; standard output when empty. Tests capture console lines here.
  std::function<void(std::string_view)> console;
  char error_text[ERROR_TEXT_SIZE] = {};
};

// Records a loss of `kind` that has a name only (`what`) and a count.
void record_loss(Run& run, LossKind kind, const char* what, int64_t count = 1);
// Records a value of the song that the target holds as another.
void record_change(Run& run, const char* what, double from, double to);
// Records a loss about one unit or woice, or a part of one (`index` -1 where it has none).
void record_loss_of(Run& run, LossKind kind, const char* what, int32_t index,
                    std::optional<std::string> name, int64_t count = 1);
// Records a woice rendered or decoded to PCM.
void record_material(Run& run, const char* kind, int32_t woice, std::string name,
                     int64_t from_bytes, int64_t to_bytes);

// A song loaded in a run of its own: what the readers fill and the front ends hand on.
struct Project : Song, Run {};

// Creates the woice, unit, delay and overdrive tables. On failure returns 0 and sets
// *failure_text to "Init woices", "Init units", "Init delay" or "Init overdrive".
int project_create_tables(Project& p, const char** failure_text);
void project_clear(Project& p);
void project_release(Project& p);
void build_freq_table(Project& p);

// Replaces the ErrorText with the formatted message cut to 31 characters.
void set_error_text(Run& run, const char* format, ...) __attribute__((format(printf, 2, 3)));
// printf-style output to the console (or to p.console when set).
void print_text(Run& run, const char* format, ...) __attribute__((format(printf, 2, 3)));

int units_allocate(Project& p, int32_t capacity);
void units_clear(Project& p);
void units_release(Project& p);
int32_t unit_count(const Song& song);
int unit_add(Project& p);

Woice* woice_add(Project& p);
int woice_alloc_voices(Project& p, Woice& woice, int32_t n);
int voice_init(Voice& voice, int32_t wave_type);
void woice_free_voices(Project& p, Woice* woice);
int woice_remove(Project& p, int32_t index);
void woices_clear(Project& p);
void delays_clear(Project& p);
int32_t overdrive_add(Project& p, int32_t group, float cut, float amp);

// A copy of the woice with every material of its own; throws std::bad_alloc.
std::unique_ptr<Woice> woice_clone(const Woice& woice);

// Number of occupied slots from slot 0 up to the first empty one.
int32_t leading_woice_count(const Song& song);

// A 16-byte name field as text: up to its first zero byte, never beyond 16 characters.
std::string name_field_text(const char (&name)[NAME_FIELD_SIZE]);
