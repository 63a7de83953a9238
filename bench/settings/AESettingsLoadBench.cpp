// Settings load of INI files with 10,000 and 40,000 keys in one section, beside the
// ceiling: reading and decoding the same bytes without parsing them. The ratio of the
// two load times shows whether the load grows in proportion to the file (4 when linear).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "AEFileSystem.h"
#include "AEIniFile.h"
#include "AESettings.h"

namespace {

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    auto p = std::filesystem::temp_directory_path() / ("velkarn_settings_bench_" + std::to_string(stamp));
    std::filesystem::create_directories(p);
    return p;
  }();
  return folder;
}

// An existing file (so the load never writes back): the real keys, then `keys` more
// of the same length, so that every comparison of names has to look at all of them.
std::string IniWithKeys(std::int64_t keys) {
  const std::string path = (Folder() / ("Keys" + std::to_string(keys) + ".ini")).string();
  if (std::filesystem::exists(path)) return path;
  std::string text = "[Agent]\r\nAgentId=7\r\nChannels=4\r\n";
  char line[32];
  for (std::int64_t i = 0; i < keys; ++i) {
    std::snprintf(line, sizeof line, "Key%05lld=1\r\n", static_cast<long long>(i));
    text += line;
  }
  text += "[Mqtt]\r\nUser=agent7\r\n";
  WriteWholeFile(path, text);
  return path;
}

void BM_SettingsLoad(benchmark::State& state) {
  const std::string path = IniWithKeys(state.range(0));
  for (auto _ : state) {
    TAESettings s;
    s.LoadFrom(path, "/opt/velkarn/", '.');
    benchmark::DoNotOptimize(s.Channels);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ReadDecodeCeiling(benchmark::State& state) {
  const std::string path = IniWithKeys(state.range(0));
  for (auto _ : state) {
    std::string bytes;
    TryReadWholeFile(path, bytes);
    std::string text = DecodeIniBytes(bytes);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Medians of five runs: the machine is shared, and one slow run would skew the ratio.
BENCHMARK(BM_SettingsLoad)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond)->Repetitions(5)
    ->DisplayAggregatesOnly(true);
BENCHMARK(BM_ReadDecodeCeiling)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond)->Repetitions(5)
    ->DisplayAggregatesOnly(true);

// Keeps each benchmark's median time, so that main can print the ratio of the sizes.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        Milliseconds[r.run_name.str()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> Milliseconds;  // every benchmark here reports in ms
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* name : {"BM_SettingsLoad", "BM_ReadDecodeCeiling"}) {
    const auto small = reporter.Milliseconds.find(std::string(name) + "/10000/repeats:5");
    const auto large = reporter.Milliseconds.find(std::string(name) + "/40000/repeats:5");
    if (small == reporter.Milliseconds.end() || large == reporter.Milliseconds.end()) continue;
    std::printf("%s: 10,000 keys %.3f ms, 40,000 keys %.3f ms, ratio %.2f (linear: 4, limit 5)\n", name,
                small->second, large->second, large->second / small->second);
  }
  std::error_code ec;
  std::filesystem::remove_all(Folder(), ec);  // best effort: a leftover temp folder harms nothing
  benchmark::Shutdown();
  return 0;
}
