// Whole-program conversion speed and memory. Every case runs the tarvenox executable in batch
// mode as a child process and measures its wall time and its peak resident set (from
// wait4's rusage), each round alternating with the baseline it is judged against, so that
// both see the same machine load:
//  - a 200 MB song of PCM woices, x5x to x4x and to a folder of WAV files, against dd
//    copying the same file;
//  - songs of 1,000,000 and 100,000 events to targets 1, 3, 6, 12 (MIDI) and 7: every other
//    target against target 7 of the same song, every target against the smaller song, and
//    target 7 against gzip -1 compressing the same file;
//  - a song of 1,000,000 events of 50 units and 10 kinds each to targets 1, 3 and 6 against
//    its target 7, and target 7 against gzip -1;
//  - --info on the song of 1,000,000 events, against one conversion of it to target 7;
//  - a MIDI file of 1,000,000 notes to x5x, against the song it gives back converted to
//    target 7;
//  - that song written as targets 1, 3 and 6 from one load, against the slowest of the three
//    converted alone (each in a process of its own, timed there);
//  - a 3-minute stereo OGG woice decoded to PCM, against vorbisfile decoding the stream;
//  - the program started with no input, the part of every peak that is not the input's: every
//    memory limit is for the peak less this.
// The inputs are made with the library in a scratch folder (each in a process of its own, so
// that this process stays small: a forked child starts with its parent's resident pages
// counted in its peak), and removed at the end.
//
// Besides Google Benchmark's report, --rows=FILE writes one tab-separated table row per
// judged case (case, time, baseline, ratio, goal, peak memory, met); scripts/bench.sh
// turns them into the table of the README. --scratch=DIR puts the inputs in DIR.
// --make-inputs=DIR only writes the PCM, 1,000,000-event and OGG songs into DIR.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/convert.h"
#include "app/output.h"
#include "io/writer.h"
#include "material/ogg.h"
#include "project/events.h"
#include "project/project.h"
#include "project/targets.h"
#include "tests/ogg_encode.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------
// Scratch folder, child processes, statistics

std::string g_scratch;
std::vector<std::string> g_rows;

std::string scratch_file(const std::string& name) {
  return g_scratch + "/" + name;
}

// The folder the conversions write into, emptied after every run so that each run writes
// under the plain name and the disk does not fill up.
std::string out_dir() {
  return scratch_file("out");
}

void empty_out_dir() {
  std::error_code ec;
  fs::remove_all(out_dir(), ec);
  fs::create_directories(out_dir(), ec);
}

struct ChildRun {
  bool ok = false;
  double seconds = 0.0;
  double peak_bytes = 0.0;
};

// Runs argv with its standard output in the scratch log (or in `out`, its standard error
// still in the log); wall time from before the fork to after the wait, and the peak resident
// set the kernel kept for the child. A plain fork, not posix_spawn: a child that shares its
// parent's memory until exec is charged with the parent's own peak.
ChildRun run_child(const std::vector<std::string>& args, const std::string& out = "") {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string log = scratch_file("child.log");
  ChildRun r;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      close(fd);
    }
    const int to = out.empty() ? -1 : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (to >= 0) {
      dup2(to, STDOUT_FILENO);
      close(to);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  if (wait4(pid, &status, 0, &usage) != pid) return r;
  const auto end = std::chrono::steady_clock::now();
  r.seconds = std::chrono::duration<double>(end - start).count();
  r.peak_bytes = static_cast<double>(usage.ru_maxrss) * 1024.0;  // kilobytes on Linux
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!r.ok) {
    std::fprintf(stderr, "failed:");
    for (const std::string& a : args) std::fprintf(stderr, " %s", a.c_str());
    std::fprintf(stderr, "\n");
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) std::fprintf(stderr, "  %s\n", line.c_str());
  }
  return r;
}

// Runs `make` in a child process; 1 when it returned true.
bool in_child(const std::function<bool()>& make) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) _exit(make() ? 0 : 1);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double file_bytes(const std::string& path) {
  std::error_code ec;
  const auto n = fs::file_size(path, ec);
  return ec ? 0.0 : static_cast<double>(n);
}

// A conversion of `input` for `target` through the program, with one job.
ChildRun convert(const std::string& input, int target) {
  const ChildRun r =
      run_child({TARVENOX_EXE, "-t", std::to_string(target), "-o", out_dir(), "-j", "1", input});
  empty_out_dir();
  return r;
}

// The medians and the peak of several runs of one conversion.
struct Samples {
  std::vector<double> seconds;
  double peak_bytes = 0.0;
  bool ok = true;

  void add(const ChildRun& r) {
    ok = ok && r.ok;
    seconds.push_back(r.seconds);
    peak_bytes = std::max(peak_bytes, r.peak_bytes);
  }
  double time() const { return median(seconds); }
};

// ---------------------------------------------------------------------------------------
// Table rows

std::string format(const char* fmt, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

std::string seconds_text(double s) {
  if (s < 0.01) return format("%.2f ms", s * 1e3);
  if (s < 1.0) return format("%.0f ms", s * 1e3);
  return format("%.2f s", s);
}

std::string mb_text(double bytes) {
  return format(bytes < 10e6 ? "%.1f MB" : "%.0f MB", bytes / 1e6);
}

// The peak resident set of the program started with no input (--version): the median of a
// few runs, measured once. Every limit is for a conversion's peak less this.
double program_own_peak() {
  static const double own = [] {
    std::vector<double> peaks;
    for (int i = 0; i < 5; ++i) peaks.push_back(run_child({TARVENOX_EXE, "--version"}).peak_bytes);
    return median(peaks);
  }();
  return own;
}

// What a conversion holds beyond the program's own.
double held(double peak) {
  return std::max(0.0, peak - program_own_peak());
}

// That against the input's size, with the most the goal allows.
std::string memory_text(double peak, double input, double limit) {
  return mb_text(held(peak)) + " / " + mb_text(input) + " (limit " + mb_text(limit) + ")";
}

bool memory_met(double peak, double limit) {
  return held(peak) <= limit;
}

const char* yes_no(bool met) {
  return met ? "yes" : "no";
}

void add_row(const std::vector<std::string>& fields) {
  std::string row;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) row += '\t';
    row += fields[i];
  }
  g_rows.push_back(row);
}

// The most a conversion may hold beyond the program's own: one and a half times its input,
// plus the largest material it renders or decodes, plus 16 bytes for every event.
double memory_limit(double input, double largest_made, double events = 0.0) {
  return 1.5 * input + largest_made + 16.0 * events;
}

// ---------------------------------------------------------------------------------------
// Songs

constexpr const char* X5X_MAGIC = "QXMOSAIKA-071119";

bool project_setup(Project& p, int32_t event_capacity) {
  project_clear(p);
  p.group_max = 7;
  const char* failed = nullptr;
  if (!project_create_tables(p, &failed)) return false;
  build_freq_table(p);
  ogg_codec_install(p);
  std::memcpy(p.file_magic, X5X_MAGIC, 16);
  return events_allocate(p, event_capacity) != 0;
}

bool add_unit(Project& p, int index) {
  if (!unit_add(p)) return false;
  Unit& u = *p.units[static_cast<size_t>(index)];
  std::memset(u.name, 0, sizeof u.name);
  std::snprintf(u.name, sizeof u.name, "part %d", index);
  u.name_len = NAME_FIELD_SIZE;
  return true;
}

Woice* add_woice(Project& p, uint32_t type, int32_t wave) {
  Woice* w = woice_add(p);
  if (!w || !woice_alloc_voices(p, *w, 1) || !voice_init(w->voices[0], wave)) return nullptr;
  w->type = type;
  Voice& v = w->voices[0];
  v.basic_key = 0x4500;
  v.voice_flags = 1;
  v.tuning = 1.0f;
  return w;
}

// A stereo 16-bit PCM woice of `bytes` bytes of noise (not silence, which a file system or
// a copy might treat specially).
bool add_pcm_woice(Project& p, size_t bytes, uint64_t seed) {
  Woice* w = add_woice(p, WOICE_PCM, WAVE_PCM);
  if (!w) return false;
  PcmBuffer& pcm = *w->voices[0].pcm;
  pcm.channels = 2;
  pcm.bits = 16;
  pcm.sample_rate = 44100;
  pcm.sample_num = static_cast<int32_t>(bytes / 4);
  pcm.samples.resize(static_cast<size_t>(pcm.sample_num) * 4);
  uint64_t x = seed | 1;
  for (size_t i = 0; i + 8 <= pcm.samples.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&pcm.samples[i], &x, 8);
  }
  return true;
}

bool write_song(Project& p, const std::string& path) {
  p.console = [](std::string_view) {};
  return write_output(p, p, path, TARGET_X5X_NEW_NOISE) != 0;
}

// Four PCM woices of 50 MB each, one unit playing each.
bool make_pcm_song(const std::string& path) {
  Project p;
  if (!project_setup(p, 16)) return false;
  for (int i = 0; i < 4; ++i) {
    if (!add_pcm_woice(p, 50'000'000, 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(i + 1)) ||
        !add_unit(p, i)) {
      return false;
    }
    if (!event_put(p, 0, static_cast<uint8_t>(i), EVENT_VOICE_NO, i) ||
        !event_put(p, 480 * i, static_cast<uint8_t>(i), EVENT_ON, 480 * 64)) {
      return false;
    }
  }
  events_place(p);
  return write_song(p, path);
}

constexpr int EVENT_SONG_UNITS = 16;

// `events` events over 16 units, each with a short PCM woice (targets 1 to 5 tie unit i to
// woice i). Every step of 120 clocks each unit plays a note (key, On, velocity), with volume,
// pan and portamento changes now and then: kinds that every target keeps, so that each
// target writes the same events.
bool make_event_song(const std::string& path, int32_t events) {
  Project p;
  if (!project_setup(p, events)) return false;
  for (int u = 0; u < EVENT_SONG_UNITS; ++u) {
    if (!add_pcm_woice(p, 4000, static_cast<uint64_t>(u + 1)) || !add_unit(p, u)) return false;
  }
  int32_t left = events;
  // Put in time order, and placed at the end in one merge.
  auto put = [&](int32_t clock, int unit, uint8_t kind, int32_t value) {
    if (left <= 0) return true;
    --left;
    return event_put(p, clock, static_cast<uint8_t>(unit), kind, value) != 0;
  };
  for (int32_t step = 0; left > 0; ++step) {
    const int32_t clock = step * 120;
    for (int u = 0; u < EVENT_SONG_UNITS && left > 0; ++u) {
      const int32_t key = 0x3C00 + ((step * 7 + u * 5) % 24) * 256;
      bool ok = put(clock, u, EVENT_KEY, key) && put(clock, u, EVENT_ON, 120) &&
                put(clock, u, EVENT_VEL, 80 + (step + u) % 48);
      if ((step + u) % 4 == 0) ok = ok && put(clock, u, EVENT_VOL, 100 - (step % 8) * 4);
      if ((step + u) % 8 == 0) ok = ok && put(clock, u, EVENT_PAN, 32 + (step * 3 + u) % 64);
      if ((step + u) % 16 == 0) ok = ok && put(clock, u, EVENT_PORTAMENT, 60);
      if (!ok) return false;
    }
  }
  events_place(p);
  return static_cast<int32_t>(p.events.size()) == events && write_song(p, path);
}

constexpr int WIDE_SONG_UNITS = 50;
constexpr int WIDE_SONG_KINDS = 10;

// `events` events over 50 units, each with a short PCM woice: every 480 clocks each unit,
// a few clocks after the one before it, sets kinds 1 to 10 (which every target writing unit
// by unit keeps), so that such a target writes 500 chunks of events.
bool make_wide_song(const std::string& path, int32_t events) {
  Project p;
  if (!project_setup(p, events)) return false;
  for (int u = 0; u < WIDE_SONG_UNITS; ++u) {
    if (!add_pcm_woice(p, 4000, static_cast<uint64_t>(u + 1)) || !add_unit(p, u)) return false;
  }
  int32_t left = events;
  for (int32_t step = 0; left > 0; ++step) {
    for (int u = 0; u < WIDE_SONG_UNITS && left > 0; ++u) {
      const int32_t clock = step * 480 + u * 9;
      for (int k = 1; k <= WIDE_SONG_KINDS && left > 0; ++k, --left) {
        const int32_t value = k == EVENT_KEY ? 0x3C00 + ((step * 7 + u * 5) % 24) * 256
                              : k == EVENT_ON || k == EVENT_PORTAMENT ? 240
                                                                      : (step * 3 + u + k) % 128;
        if (!event_put(p, clock, static_cast<uint8_t>(u), static_cast<uint8_t>(k), value)) {
          return false;
        }
      }
    }
  }
  events_place(p);
  return static_cast<int32_t>(p.events.size()) == events && write_song(p, path);
}

constexpr int OGG_SECONDS = 180;
constexpr int OGG_RATE = 44100;

// The stream alone (for the baseline) and a song holding it as an OGG woice.
bool make_ogg_song(const std::string& stream_path, const std::string& song_path) {
  const std::vector<uint8_t> stream = ogg_encode::tone_stream(2, OGG_RATE, OGG_RATE * OGG_SECONDS);
  if (stream.empty()) return false;
  {
    std::ofstream out(stream_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(stream.data()),
              static_cast<std::streamsize>(stream.size()));
    if (!out) return false;
  }
  Project p;
  if (!project_setup(p, 16)) return false;
  Woice* w = add_woice(p, WOICE_OGG, WAVE_OGG);
  if (!w || !add_unit(p, 0)) return false;
  OggStream& ogg = *w->voices[0].ogg;
  ogg.size = static_cast<int32_t>(stream.size());
  ogg.data = stream;
  if (!event_put(p, 0, 0, EVENT_ON, 480 * 4 * 90)) return false;
  events_place(p);
  return write_song(p, song_path);
}

// ---------------------------------------------------------------------------------------
// vorbisfile alone, from memory

struct Memory {
  const std::vector<uint8_t>* data;
  size_t position;
};

size_t memory_read(void* dst, size_t size, size_t count, void* source) {
  auto* m = static_cast<Memory*>(source);
  const size_t left = m->data->size() - m->position;
  const size_t items = size == 0 ? 0 : std::min(count, left / size);
  std::memcpy(dst, m->data->data() + m->position, items * size);
  m->position += items * size;
  return items;
}

int memory_seek(void* source, ogg_int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(source);
  const auto size = static_cast<ogg_int64_t>(m->data->size());
  ogg_int64_t at = whence == SEEK_SET   ? offset
                   : whence == SEEK_CUR ? static_cast<ogg_int64_t>(m->position) + offset
                                        : size + offset;
  if (at < 0 || at > size) return -1;
  m->position = static_cast<size_t>(at);
  return 0;
}

long memory_tell(void* source) {
  return static_cast<long>(static_cast<Memory*>(source)->position);
}

// Decodes the whole stream into one buffer sized from the stream's length, reading 4096
// bytes at a time; returns the decoded bytes, or -1.
double vorbisfile_decode(const std::vector<uint8_t>& stream) {
  Memory m{&stream, 0};
  ov_callbacks callbacks = {memory_read, memory_seek, nullptr, memory_tell};
  OggVorbis_File vf;
  if (ov_open_callbacks(&m, &vf, nullptr, 0, callbacks) < 0) return -1;
  const vorbis_info* info = ov_info(&vf, -1);
  const ogg_int64_t frames = ov_pcm_total(&vf, -1);
  if (!info || frames < 0) {
    ov_clear(&vf);
    return -1;
  }
  std::vector<char> out(static_cast<size_t>(frames) * static_cast<size_t>(info->channels) * 2);
  size_t done = 0;
  int bitstream = 0;
  for (;;) {
    char chunk[4096];
    const long n = ov_read(&vf, chunk, sizeof chunk, 0, 2, 1, &bitstream);
    if (n < 0) {
      ov_clear(&vf);
      return -1;
    }
    if (n == 0) break;
    const size_t take = std::min(static_cast<size_t>(n), out.size() - done);
    std::memcpy(out.data() + done, chunk, take);
    done += take;
  }
  ov_clear(&vf);
  benchmark::DoNotOptimize(out.data());
  return static_cast<double>(done);
}

// Reads the stream and times its decoding in a child process, so that the decoded samples
// never count in this process's resident set, which every child forked later starts with.
bool vorbisfile_decode_in_child(const std::string& stream_path, double* seconds, double* decoded) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    std::ifstream in(stream_path, std::ios::binary);
    const std::vector<uint8_t> stream{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
    const auto start = std::chrono::steady_clock::now();
    const double bytes = vorbisfile_decode(stream);
    const double result[2] = {
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), bytes};
    const bool sent = write(fds[1], result, sizeof result) == sizeof result;
    _exit(sent && bytes > 0 ? 0 : 1);
  }
  close(fds[1]);
  double result[2] = {0.0, 0.0};
  const bool got = read(fds[0], result, sizeof result) == sizeof result;
  close(fds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !got) {
    return false;
  }
  *seconds = result[0];
  *decoded = result[1];
  return true;
}

// ---------------------------------------------------------------------------------------
// Benchmarks

// One target: each iteration converts once and copies once with dd, in alternating order;
// the reported time is the conversion's.
void BM_PcmSong(benchmark::State& state) {
  const int target = static_cast<int>(state.range(0));
  const std::string input = scratch_file("pcm_200mb.qxprj");
  const std::string copy = scratch_file("pcm_200mb.copy");
  if (!in_child([&] { return make_pcm_song(input); })) {
    state.SkipWithError("could not make the PCM song");
    return;
  }
  const std::vector<std::string> dd = {"dd", "if=" + input, "of=" + copy, "bs=1M", "status=none"};
  auto run_dd = [&] {
    const ChildRun r = run_child(dd);
    fs::remove(copy);
    return r;
  };
  // Both once, untimed, so that both find the input in the page cache.
  if (!convert(input, target).ok || !run_dd().ok) {
    state.SkipWithError("warm-up failed");
    return;
  }
  Samples program, baseline;
  int round = 0;
  for (auto _ : state) {
    ChildRun a, b;
    if (round++ % 2 == 0) {
      a = convert(input, target);
      b = run_dd();
    } else {
      b = run_dd();
      a = convert(input, target);
    }
    program.add(a);
    baseline.add(b);
    state.SetIterationTime(a.seconds);
  }
  const double input_bytes = file_bytes(input);
  fs::remove(input);
  if (!program.ok || !baseline.ok) {
    state.SkipWithError("a run failed");
    return;
  }
  const double ratio = program.time() / baseline.time();
  const double limit = memory_limit(input_bytes, 0.0, 8);
  state.counters["program_s"] = program.time();
  state.counters["dd_s"] = baseline.time();
  state.counters["ratio"] = ratio;
  state.counters["peak_MB"] = program.peak_bytes / 1e6;
  state.counters["input_MB"] = input_bytes / 1e6;
  add_row({"PCM song of " + mb_text(input_bytes) + ", x5x to " + target_rule(target).family +
               " (target " + std::to_string(target) + ")",
           seconds_text(program.time()), "dd bs=1M: " + seconds_text(baseline.time()),
           format("%.2f", ratio), "<= 1.5", memory_text(program.peak_bytes, input_bytes, limit),
           std::string("time ") + yes_no(ratio <= 1.5) + ", memory " +
               yes_no(memory_met(program.peak_bytes, limit))});
}
BENCHMARK(BM_PcmSong)
    ->ArgName("target")
    ->Arg(TARGET_X4X)
    ->Arg(TARGET_WAV)
    ->UseManualTime()
    ->Iterations(7)
    ->Unit(benchmark::kMillisecond);

constexpr int32_t LARGE_SONG_EVENTS = 1'000'000;
constexpr int32_t SMALL_SONG_EVENTS = 100'000;

const std::string& event_song(int32_t events) {
  static std::string large, small;
  std::string& path = events == LARGE_SONG_EVENTS ? large : small;
  if (path.empty()) {
    const std::string name = scratch_file("events_" + std::to_string(events) + ".qxprj");
    if (in_child([&] { return make_event_song(name, events); })) path = name;
  }
  return path;
}

std::string events_text(int32_t events) {
  return events == LARGE_SONG_EVENTS ? "1,000,000 events" : "100,000 events";
}

const std::string& wide_song() {
  static std::string path;
  if (path.empty()) {
    const std::string name = scratch_file("wide_1000000.qxprj");
    if (in_child([&] { return make_wide_song(name, LARGE_SONG_EVENTS); })) path = name;
  }
  return path;
}

// One timed run: a conversion of the input for the target, or (target 0) gzip -1 compressing
// the input to nothing, the reference the newest target is held to.
constexpr int GZIP_REFERENCE = 0;
struct Case {
  const std::string* input;
  int target;
  Samples samples;
};

ChildRun run_case(const Case& c) {
  if (c.target == GZIP_REFERENCE) return run_child({"gzip", "-1", "-c", *c.input}, "/dev/null");
  return convert(*c.input, c.target);
}

// Each case once untimed, then every iteration each case once, in an order that turns round
// every iteration; the reported time is the first case's. False (the benchmark skipped) when
// a run failed.
bool run_cases(benchmark::State& state, std::vector<Case>& cases) {
  for (Case& c : cases) {
    if (!run_case(c).ok) {
      state.SkipWithError("warm-up failed");
      return false;
    }
  }
  size_t round = 0;
  for (auto _ : state) {
    double reported = 0.0;
    for (size_t k = 0; k < cases.size(); ++k) {
      const size_t i = (k + round) % cases.size();
      const ChildRun r = run_case(cases[i]);
      cases[i].samples.add(r);
      if (i == 0) reported = r.seconds;
    }
    ++round;
    state.SetIterationTime(reported);
  }
  for (const Case& c : cases) {
    if (!c.samples.ok) {
      state.SkipWithError("a run failed");
      return false;
    }
  }
  return true;
}

// The row of a conversion of the large song for `target`, against target 7 of the same song
// (or, for target 7, against gzip -1), with its memory.
void add_large_row(const std::string& what, int target, const Samples& big, const Samples& against,
                   double bytes, double events) {
  const bool newest = target == TARGET_X5X_NO_OGG;
  const double goal = newest ? 1.0 : target == TARGET_MIDI ? 2.0 : 1.2;
  const double ratio = big.time() / against.time();
  const double limit = memory_limit(bytes, 0.0, events);
  add_row({what + " to target " + std::to_string(target), seconds_text(big.time()),
           std::string(newest ? "gzip -1: " : "target 7: ") + seconds_text(against.time()),
           format("%.2f", ratio), format(goal == 1.0 ? "<= %.0f" : "<= %g", goal),
           memory_text(big.peak_bytes, bytes, limit),
           std::string("time ") + yes_no(ratio <= goal) + ", memory " +
               yes_no(memory_met(big.peak_bytes, limit))});
}

// One target: each iteration converts both songs for the target and, for a per-unit target,
// both songs for target 7 as well (for target 7, gzip -1 compresses the large one), in an
// order that turns round every iteration. The reported time is the large song's for the
// target.
void BM_EventSong(benchmark::State& state) {
  const int target = static_cast<int>(state.range(0));
  const std::string& large = event_song(LARGE_SONG_EVENTS);
  const std::string& small = event_song(SMALL_SONG_EVENTS);
  if (large.empty() || small.empty()) {
    state.SkipWithError("could not make the event songs");
    return;
  }
  std::vector<Case> cases = {{&large, target, {}}, {&small, target, {}}};
  if (target != TARGET_X5X_NO_OGG) {
    cases.push_back({&large, TARGET_X5X_NO_OGG, {}});
    cases.push_back({&small, TARGET_X5X_NO_OGG, {}});
  } else {
    cases.push_back({&large, GZIP_REFERENCE, {}});
  }
  if (!run_cases(state, cases)) return;
  const Samples& big = cases[0].samples;
  const Samples& little = cases[1].samples;
  const double small_bytes = file_bytes(small);
  const double small_limit = memory_limit(small_bytes, 0.0, SMALL_SONG_EVENTS);
  const double growth = big.time() / little.time();
  state.counters["large_s"] = big.time();
  state.counters["small_s"] = little.time();
  state.counters["growth"] = growth;
  state.counters["against_s"] = cases[2].samples.time();
  state.counters["large_peak_MB"] = big.peak_bytes / 1e6;
  state.counters["small_peak_MB"] = little.peak_bytes / 1e6;
  add_large_row(events_text(LARGE_SONG_EVENTS), target, big, cases[2].samples, file_bytes(large),
                LARGE_SONG_EVENTS);
  add_row({"growth to target " + std::to_string(target) + ": 1,000,000 against 100,000 events",
           seconds_text(big.time()),
           events_text(SMALL_SONG_EVENTS) + ": " + seconds_text(little.time()),
           format("%.2f", growth), "<= 11",
           "100,000: " + memory_text(little.peak_bytes, small_bytes, small_limit),
           std::string("time ") + yes_no(growth <= 11.0) + ", memory " +
               yes_no(memory_met(little.peak_bytes, small_limit))});
}
// Runs of a few ms each: the median of fifteen holds where other work shares the machine.
BENCHMARK(BM_EventSong)
    ->ArgName("target")
    ->Arg(TARGET_X1X_PCM)
    ->Arg(TARGET_X2X_MID_VOICE)
    ->Arg(TARGET_X4X)
    ->Arg(TARGET_MIDI)
    ->Arg(TARGET_X5X_NO_OGG)
    ->UseManualTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

// The song of 50 units and 10 kinds: a per-unit target against target 7, target 7 against
// gzip -1, each iteration both in turn.
void BM_WideSong(benchmark::State& state) {
  const int target = static_cast<int>(state.range(0));
  const std::string& wide = wide_song();
  if (wide.empty()) {
    state.SkipWithError("could not make the wide song");
    return;
  }
  std::vector<Case> cases = {
      {&wide, target, {}},
      {&wide, target == TARGET_X5X_NO_OGG ? GZIP_REFERENCE : TARGET_X5X_NO_OGG, {}}};
  if (!run_cases(state, cases)) return;
  state.counters["wide_s"] = cases[0].samples.time();
  state.counters["against_s"] = cases[1].samples.time();
  state.counters["peak_MB"] = cases[0].samples.peak_bytes / 1e6;
  add_large_row("1,000,000 events of 50 units x 10 kinds", target, cases[0].samples,
                cases[1].samples, file_bytes(wide), LARGE_SONG_EVENTS);
}
// Runs of a few ms each: the median of fifteen holds where other work shares the machine.
BENCHMARK(BM_WideSong)
    ->ArgName("target")
    ->Arg(TARGET_X1X_PCM)
    ->Arg(TARGET_X2X_MID_VOICE)
    ->Arg(TARGET_X4X)
    ->Arg(TARGET_X5X_NO_OGG)
    ->UseManualTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

// Each iteration inspects the song (every target's downgrade step from one load) and converts
// it to target 7, in alternating order.
void BM_InfoEventSong(benchmark::State& state) {
  const std::string& large = event_song(LARGE_SONG_EVENTS);
  if (large.empty()) {
    state.SkipWithError("could not make the event song");
    return;
  }
  const auto info = [&] { return run_child({TARVENOX_EXE, "--info", large}); };
  if (!info().ok || !convert(large, TARGET_X5X_NO_OGG).ok) {
    state.SkipWithError("warm-up failed");
    return;
  }
  Samples inspected, converted;
  int round = 0;
  for (auto _ : state) {
    ChildRun a;
    if (round++ % 2 == 0) {
      a = info();
      converted.add(convert(large, TARGET_X5X_NO_OGG));
    } else {
      converted.add(convert(large, TARGET_X5X_NO_OGG));
      a = info();
    }
    inspected.add(a);
    state.SetIterationTime(a.seconds);
  }
  if (!inspected.ok || !converted.ok) {
    state.SkipWithError("a run failed");
    return;
  }
  const double ratio = inspected.time() / converted.time();
  state.counters["info_s"] = inspected.time();
  state.counters["target7_s"] = converted.time();
  state.counters["ratio"] = ratio;
  add_row({"--info on 1,000,000 events (every target from one load)",
           seconds_text(inspected.time()), "target 7: " + seconds_text(converted.time()),
           format("%.2f", ratio), "<= 2", mb_text(inspected.peak_bytes),
           std::string("time ") + yes_no(ratio <= 2.0)});
}
BENCHMARK(BM_InfoEventSong)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

// Seconds `convert` took in a child process of its own (loading included), or -1.
double timed_in_child(const std::function<bool()>& work) {
  const std::string result = scratch_file("child_seconds");
  const bool ok = in_child([&] {
    const auto start = std::chrono::steady_clock::now();
    if (!work()) return false;
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ofstream(result) << s;
    return true;
  });
  double seconds = -1.0;
  if (ok) std::ifstream(result) >> seconds;
  empty_out_dir();
  return seconds;
}

// The song written as `targets` from one load into the output folder.
bool convert_loaded_once(const std::string& input, const std::vector<uint8_t>& targets) {
  Project p;
  p.console = [](std::string_view) {};
  const std::vector<Conversion> done = convert_into_folder(p, input, targets, out_dir());
  return done.size() == targets.size() &&
         std::all_of(done.begin(), done.end(),
                     [](const Conversion& c) { return c.stage == CONVERT_DONE; });
}

// Each iteration writes the song as targets 1, 3 and 6 from one load and converts it to
// each alone, in an order that turns round every iteration.
void BM_ThreeTargetsOneLoad(benchmark::State& state) {
  const std::string& large = event_song(LARGE_SONG_EVENTS);
  if (large.empty()) {
    state.SkipWithError("could not make the event song");
    return;
  }
  const std::vector<std::vector<uint8_t>> runs = {
      {TARGET_X1X_PCM, TARGET_X2X_MID_VOICE, TARGET_X4X},
      {TARGET_X1X_PCM},
      {TARGET_X2X_MID_VOICE},
      {TARGET_X4X}};
  std::vector<std::vector<double>> seconds(runs.size());
  for (const auto& targets : runs) {
    if (timed_in_child([&] { return convert_loaded_once(large, targets); }) < 0) {
      state.SkipWithError("warm-up failed");
      return;
    }
  }
  size_t round = 0;
  for (auto _ : state) {
    for (size_t k = 0; k < runs.size(); ++k) {
      const size_t i = (k + round) % runs.size();
      const double s = timed_in_child([&] { return convert_loaded_once(large, runs[i]); });
      if (s < 0) {
        state.SkipWithError("a run failed");
        return;
      }
      seconds[i].push_back(s);
    }
    ++round;
    state.SetIterationTime(seconds[0].back());
  }
  const double together = median(seconds[0]);
  const double slowest = std::max({median(seconds[1]), median(seconds[2]), median(seconds[3])});
  const double ratio = together / slowest;
  state.counters["together_s"] = together;
  state.counters["slowest_alone_s"] = slowest;
  state.counters["ratio"] = ratio;
  add_row({"1,000,000 events to targets 1, 3 and 6 from one load", seconds_text(together),
           "slowest alone: " + seconds_text(slowest), format("%.2f", ratio), "<= 1.5", "-",
           std::string("time ") + yes_no(ratio <= 1.5)});
}
BENCHMARK(BM_ThreeTargetsOneLoad)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

// Writes `input` as `target` to `output` through the library, in this process.
bool write_as(const std::string& input, int target, const std::string& output) {
  Project p;
  p.console = [](std::string_view) {};
  int tune_flag = 0;
  return load_input(p, input, &tune_flag) && write_output(p, p, output, target);
}

// The events a file loads as, counted in a process of its own; 0 when it cannot be loaded.
double events_in(const std::string& path) {
  const std::string result = scratch_file("child_events");
  const bool ok = in_child([&] {
    Project p;
    p.console = [](std::string_view) {};
    int tune_flag = 0;
    if (!load_input(p, path, &tune_flag)) return false;
    std::ofstream(result) << p.events.size();
    return true;
  });
  double events = 0.0;
  if (ok) std::ifstream(result) >> events;
  return events;
}

// The event song plays 16 notes in every 55 events: this many make 1,000,000 notes.
constexpr int32_t MIDI_SONG_EVENTS = 1'000'000 / 16 * 55;

// A MIDI file of 1,000,000 notes (an event song written as MIDI) to x5x, against the song
// that file gives back converted to target 7: each iteration both, in turn.
void BM_MidiFileIn(benchmark::State& state) {
  const std::string source = scratch_file("events_for_midi.qxprj");
  const std::string midi = scratch_file("events.mid");
  const std::string song = scratch_file("events_from_midi.qxprj");
  if (!in_child([&] { return make_event_song(source, MIDI_SONG_EVENTS); }) ||
      !in_child([&] { return write_as(source, TARGET_MIDI, midi); }) ||
      !in_child([&] { return write_as(midi, TARGET_X5X_NEW_NOISE, song); })) {
    state.SkipWithError("could not make the MIDI file");
    return;
  }
  if (!convert(midi, TARGET_X5X_NEW_NOISE).ok || !convert(song, TARGET_X5X_NO_OGG).ok) {
    state.SkipWithError("warm-up failed");
    return;
  }
  Samples read, baseline;
  int round = 0;
  for (auto _ : state) {
    ChildRun a;
    if (round++ % 2 == 0) {
      a = convert(midi, TARGET_X5X_NEW_NOISE);
      baseline.add(convert(song, TARGET_X5X_NO_OGG));
    } else {
      baseline.add(convert(song, TARGET_X5X_NO_OGG));
      a = convert(midi, TARGET_X5X_NEW_NOISE);
    }
    read.add(a);
    state.SetIterationTime(a.seconds);
  }
  if (!read.ok || !baseline.ok) {
    state.SkipWithError("a run failed");
    return;
  }
  const double ratio = read.time() / baseline.time();
  const double input_bytes = file_bytes(midi);
  state.counters["midi_s"] = read.time();
  state.counters["target7_s"] = baseline.time();
  state.counters["ratio"] = ratio;
  add_row(
      {"MIDI file of 1,000,000 notes (" + mb_text(input_bytes) + ") to x5x",
       seconds_text(read.time()), "its song to target 7: " + seconds_text(baseline.time()),
       format("%.2f", ratio), "<= 2",
       memory_text(read.peak_bytes, input_bytes, memory_limit(input_bytes, 0.0, events_in(song))),
       std::string("time ") + yes_no(ratio <= 2.0)});
}
BENCHMARK(BM_MidiFileIn)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

// Each iteration converts the song to target 7 (the OGG woice decoded to PCM) and decodes the
// same stream with vorbisfile in this process, in alternating order.
void BM_OggSongToPcm(benchmark::State& state) {
  const std::string stream_path = scratch_file("tone_3min.ogg");
  const std::string input = scratch_file("ogg_3min.qxprj");
  if (!in_child([&] { return make_ogg_song(stream_path, input); })) {
    state.SkipWithError("could not make the OGG song");
    return;
  }
  double decoded = 0.0;
  auto run_decode = [&] {
    double seconds = -1.0;
    if (!vorbisfile_decode_in_child(stream_path, &seconds, &decoded)) decoded = -1.0;
    return seconds;
  };
  const bool program_warm = convert(input, TARGET_X5X_NO_OGG).ok;
  run_decode();
  if (!program_warm || decoded <= 0.0) {
    state.SkipWithError("warm-up failed");
    return;
  }
  Samples program;
  std::vector<double> baseline;
  int round = 0;
  for (auto _ : state) {
    ChildRun a;
    if (round++ % 2 == 0) {
      a = convert(input, TARGET_X5X_NO_OGG);
      baseline.push_back(run_decode());
    } else {
      baseline.push_back(run_decode());
      a = convert(input, TARGET_X5X_NO_OGG);
    }
    program.add(a);
    state.SetIterationTime(a.seconds);
  }
  if (!program.ok || decoded <= 0.0) {
    state.SkipWithError("a run failed");
    return;
  }
  const double input_bytes = file_bytes(input);
  const double ratio = program.time() / median(baseline);
  const double limit = memory_limit(input_bytes, decoded, 1);
  state.counters["program_s"] = program.time();
  state.counters["vorbisfile_s"] = median(baseline);
  state.counters["ratio"] = ratio;
  state.counters["peak_MB"] = program.peak_bytes / 1e6;
  state.counters["input_MB"] = input_bytes / 1e6;
  state.counters["decoded_MB"] = decoded / 1e6;
  add_row({"3-minute stereo OGG woice (" + mb_text(decoded) + " decoded) to PCM, target 7",
           seconds_text(program.time()), "vorbisfile alone: " + seconds_text(median(baseline)),
           format("%.2f", ratio), "-", memory_text(program.peak_bytes, input_bytes, limit),
           std::string("memory ") + yes_no(memory_met(program.peak_bytes, limit))});
}
BENCHMARK(BM_OggSongToPcm)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// What the program holds before it reads anything: started, asked for its version, ended.
// Every conversion's peak includes it; for small inputs it is most of the peak.
void BM_ProgramAlone(benchmark::State& state) {
  Samples program;
  for (auto _ : state) {
    const ChildRun r = run_child({TARVENOX_EXE, "--version"});
    program.add(r);
    state.SetIterationTime(r.seconds);
  }
  if (!program.ok) {
    state.SkipWithError("a run failed");
    return;
  }
  state.counters["peak_MB"] = program.peak_bytes / 1e6;
  add_row({"the program alone, no input (--version)", seconds_text(program.time()), "-", "-", "-",
           mb_text(program.peak_bytes), "-"});
}
BENCHMARK(BM_ProgramAlone)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// Takes --NAME=VALUE out of the arguments; returns whether it was there.
bool take_flag(int& argc, char** argv, const char* name, std::string& value) {
  const std::string prefix = std::string("--") + name + "=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) != 0) continue;
    value = argv[i] + prefix.size();
    for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
    --argc;
    return true;
  }
  return false;
}

// Writes the three large inputs into `dir` and nothing else, for the page's benchmark
// (scripts/bench-web.sh), which converts the same songs in the browser.
bool make_inputs(const std::string& dir) {
  return make_pcm_song(dir + "/pcm_200mb.qxprj") &&
         make_event_song(dir + "/events_1000000.qxprj", LARGE_SONG_EVENTS) &&
         make_ogg_song(dir + "/tone_3min.ogg", dir + "/ogg_3min.qxprj");
}

}  // namespace

int main(int argc, char** argv) {
  std::string rows_path, scratch;
  take_flag(argc, argv, "rows", rows_path);
  std::string inputs_dir;
  if (take_flag(argc, argv, "make-inputs", inputs_dir)) return make_inputs(inputs_dir) ? 0 : 1;
  const bool own_scratch = !take_flag(argc, argv, "scratch", scratch);
  if (own_scratch) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvenox_bench_XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("tarvenox bench: scratch folder");
      return 1;
    }
    scratch = pattern;
  }
  g_scratch = scratch;
  empty_out_dir();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::error_code ec;
  if (own_scratch) {
    fs::remove_all(scratch, ec);
  } else {
    fs::remove_all(out_dir(), ec);
  }
  if (!rows_path.empty()) {
    std::ofstream out(rows_path);
    for (const std::string& row : g_rows) out << row << '\n';
  }
  return 0;
}
