// Rendering speed: the largest qxNoise design the clamp allows (4 units, 3 oscillators each,
// 480000 frames), reported as frames per second; and the qxVoice cycle renderer.
#include <benchmark/benchmark.h>

#include "project/project.h"
#include "synth/noise_render.h"
#include "synth/voice_render.h"
#include "tests/noise_designs.h"

using namespace noise_designs;

namespace {

NoiseDesign largest_design() {
  NoiseDesign d;
  d.sample_num = NOISE_SAMPLE_NUM_MAX;
  d.unit_num = 4;
  d.units = {
      unit({{5, 100}, {2000, 60}, {8000, 0}}, -30, osc(5, 220.0f, 80.0f, 10.0f),
           osc(7, 3.0f, 40.0f, 25.0f), osc(4, 30.0f, 50.0f, 50.0f, 1)),
      unit({{0, 80}, {10000, 100}}, 70, osc(6, 110.0f, 120.0f, 0.0f, 1), osc(8, 8.0f, 60.0f),
           osc(13, 5.0f, 90.0f, 33.0f)),
      unit({{50, 100}, {0, 20}, {10000, 0}}, 0, osc(4, 2000.0f, 60.0f),
           osc(15, 1.5f, 150.0f, 0.0f, 1), osc(9, 12.0f, 100.0f)),
      unit({{3000, 100}, {7000, 50}}, 100, osc(1, 55.0f, 100.0f, 75.0f), osc(2, 0.7f, 200.0f),
           osc(8, 40.0f, 30.0f, 0.0f, 1)),
  };
  return d;
}

void BM_NoiseRenderLargest(benchmark::State& state) {
  Project p;
  build_freq_table(p);
  const NoiseDesign design = largest_design();
  std::vector<int16_t> pcm;
  for (auto _ : state) {
    NoiseDesign d = design;
    if (!qxnoise_render(p, d, pcm)) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * NOISE_SAMPLE_NUM_MAX);
  state.counters["frames_per_second"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * NOISE_SAMPLE_NUM_MAX, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_NoiseRenderLargest)->Unit(benchmark::kMillisecond);

void BM_VoiceRenderCycle(benchmark::State& state) {
  Woice w;
  w.voice_num = 2;
  w.voices.resize(2);
  w.instances.resize(2);
  w.voices[0].wave_type = WAVE_COORDINATE;
  w.voices[0].volume = 64;
  w.voices[0].pan = 64;
  w.voices[0].resolution = 200;
  w.voices[0].points = {{0, 0}, {6, 50}, {42, 94}, {86, -106}, {152, -34}, {195, -22}};
  w.voices[0].point_num = 6;
  w.voices[1].wave_type = WAVE_OSCILLATOR;
  w.voices[1].volume = 100;
  w.voices[1].pan = 40;
  for (int h = 1; h <= 31; ++h) w.voices[1].points.push_back({h, 128 / h});
  w.voices[1].point_num = 31;
  for (auto _ : state) {
    if (!qxvoice_render(w)) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(w.instances[1].samples.data());
  }
}
BENCHMARK(BM_VoiceRenderCycle)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
