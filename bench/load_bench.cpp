// InitSetting in mode 1 with configuration files of growing size, read from a scratch working directory.
#include <benchmark/benchmark.h>
#include <json/value.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench_device.h"

namespace {

// A fresh working directory holding only ./ini/1201.yaml or ./ini/1201.ini with `entries` AI entries;
// the process works in it while the object lives.
class ScratchConfig {
 public:
  ScratchConfig(const std::string& extension, std::size_t entries) {
    char path[] = "/tmp/vadid-bench-XXXXXX";
    if (::mkdtemp(path) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = path;
    char* previous = ::getcwd(nullptr, 0);
    previous_ = previous;
    std::free(previous);
    file_ = dir_ + "/ini/1201" + extension;
    if (::mkdir((dir_ + "/ini").c_str(), 0700) != 0) throw std::runtime_error("mkdir failed");
    std::ofstream out(file_);
    out << (extension == ".yaml" ? "AI:\n" : "[AI]\n");
    for (std::size_t n = 0; n < entries; ++n) {
      const std::string name = n < 5 ? std::string(kReadingNames[n]) : "X" + std::to_string(n);
      const std::string value = SignalId(n) + ",signal " + std::to_string(n);
      out << (extension == ".yaml" ? "  " + name + ": " : name + " = ") << value << "\n";
    }
    out.close();
    if (!out || ::chdir(dir_.c_str()) != 0) throw std::runtime_error("cannot prepare " + file_);
  }
  ~ScratchConfig() {
    if (::chdir(previous_.c_str()) != 0) std::abort();
    std::remove(file_.c_str());
    ::rmdir((dir_ + "/ini").c_str());
    ::rmdir(dir_.c_str());
  }
  ScratchConfig(const ScratchConfig&) = delete;
  ScratchConfig& operator=(const ScratchConfig&) = delete;

 private:
  std::string dir_, previous_, file_;
};

// The host's InitSetting of a device it has just created.
void Load(benchmark::State& state, const std::string& extension) {
  const std::size_t entries = static_cast<std::size_t>(state.range(0));
  const ScratchConfig scratch(extension, entries);
  Json::Value config;
  config["appSetting"]["b_mode"] = "1";
  bool loaded = true;
  for (auto _ : state) {
    state.PauseTiming();
    auto device = std::make_unique<BenchDevice>();
    device->data_id_ = 1201;
    state.ResumeTiming();
    device->InitSetting(config);
    state.PauseTiming();
    loaded = loaded && device->ai_signals_.size() == entries;
    device.reset();
    state.ResumeTiming();
  }
  if (!loaded) state.SkipWithError("the configuration file did not load");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(entries));
}

void InitSetting_yaml(benchmark::State& state) { Load(state, ".yaml"); }
void InitSetting_ini(benchmark::State& state) { Load(state, ".ini"); }
BENCHMARK(InitSetting_yaml)->ArgName("entries")->Arg(5)->Arg(500)->Arg(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(InitSetting_ini)->ArgName("entries")->Arg(5)->Arg(500)->Arg(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
