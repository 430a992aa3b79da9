// Pause(1000) of the form: wall time and the CPU time it costs (getrusage), to
// show that the wait blocks in the pump instead of spinning.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>

#include "app/Unit1.h"

namespace {

double CpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

void BM_Pause1000(benchmark::State& state) {
  TForm1 form;
  double wallMs = 0, cpuMs = 0, minWallMs = 1e9;
  for (auto _ : state) {
    double cpu0 = CpuMs();
    auto t0 = std::chrono::steady_clock::now();
    form.Pause(1000);
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    wallMs += wall;
    cpuMs += CpuMs() - cpu0;
    if (wall < minWallMs) minWallMs = wall;
  }
  state.counters["wall_ms"] = wallMs / state.iterations();
  state.counters["min_wall_ms"] = minWallMs;
  state.counters["cpu_ms"] = cpuMs / state.iterations();
}
BENCHMARK(BM_Pause1000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
