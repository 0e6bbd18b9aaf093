// The plug-in's work per round, per reading request and per control request, and its memory.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "bench_device.h"
#include "heap_counter.h"

namespace {

// Allocations per iteration from a count taken before the loop.
void CountAllocations(benchmark::State& state, const HeapCount& before) {
  state.counters["allocs/op"] =
      benchmark::Counter(static_cast<double>(heap_count().allocations - before.allocations),
                         benchmark::Counter::kAvgIterations);
}

// One round from the poll reply on. The readings change every round, so each configured reading with its
// setting is reported; each round is taken to fall in a new second, so its readings are regenerated.
void RunRounds(benchmark::State& state, BenchDevice& device) {
  unsigned short base = 100;
  device.SetReply(base);
  device.process_payload(VADID_EV7::kPollTag, 10);  // the first round makes the readings' members
  const HeapCount before = heap_count();
  for (auto _ : state) {
    base ^= 1;
    device.SetReply(base);
    device.ForgetReadings();
    device.process_payload(VADID_EV7::kPollTag, 10);
  }
  CountAllocations(state, before);
  state.SetItemsProcessed(state.iterations());
}

void Round_mode0(benchmark::State& state) {
  BenchDevice device;
  device.data_id_ = 1201;
  device.b_mode_ = 0;
  device.RefreshStatus();
  RunRounds(state, device);
}
BENCHMARK(Round_mode0);

void Round_mode1(benchmark::State& state) {
  BenchDevice device;
  ConfigureMode1(device, static_cast<std::size_t>(state.range(0)));
  RunRounds(state, device);
}
BENCHMARK(Round_mode1)->ArgName("signals")->Arg(5)->Arg(50)->Arg(500);

// A device after its first round in mode 1, its readings made.
std::unique_ptr<BenchDevice> ReadyDevice() {
  auto device = std::make_unique<BenchDevice>();
  ConfigureMode1(*device, 5);
  device->SetReply(100);
  device->process_payload(VADID_EV7::kPollTag, 10);
  return device;
}

void GenJsonData_no_round(benchmark::State& state) {
  const auto device = ReadyDevice();
  const HeapCount before = heap_count();
  for (auto _ : state) device->GenJsonData();
  CountAllocations(state, before);
}
BENCHMARK(GenJsonData_no_round);

void GenJsonData_new_round(benchmark::State& state) {
  const auto device = ReadyDevice();
  const HeapCount before = heap_count();
  for (auto _ : state) {
    device->ForgetReadings();
    device->GenJsonData();
  }
  CountAllocations(state, before);
}
BENCHMARK(GenJsonData_new_round);

// Control requests between rounds: the readings are current, so neither regenerates them.
void Control(benchmark::State& state) {
  const auto device = ReadyDevice();
  const int code = static_cast<int>(state.range(0));
  char out[512];
  int out_len = 0;
  const HeapCount before = heap_count();
  for (auto _ : state) {
    const int result = device->DeviceIoControl(code, nullptr, 0, out, sizeof out, out_len);
    benchmark::DoNotOptimize(result);
  }
  CountAllocations(state, before);
}
BENCHMARK(Control)->ArgName("code")->Arg(801)->Arg(803);

// Heap bytes of one device as the host creates it, after its first round in mode 1 without a signal map,
// and after its first round with five configured signals and their settings.
void Memory_device(benchmark::State& state) {
  std::int64_t constructed = 0, first_round = 0, configured_round = 0;
  for (auto _ : state) {
    const HeapCount start = heap_count();
    auto* device = new BenchDevice;
    constructed = heap_count().live_bytes - start.live_bytes;
    device->RefreshStatus();
    device->SetReply(100);
    device->process_payload(VADID_EV7::kPollTag, 10);
    first_round = heap_count().live_bytes - start.live_bytes;
    delete device;

    const HeapCount again = heap_count();
    device = new BenchDevice;
    ConfigureMode1(*device, 5);
    device->SetReply(100);
    device->process_payload(VADID_EV7::kPollTag, 10);
    configured_round = heap_count().live_bytes - again.live_bytes;
    delete device;
  }
  state.counters["B_object"] = sizeof(BenchDevice);
  state.counters["B_constructed"] = static_cast<double>(constructed);
  state.counters["B_first_round"] = static_cast<double>(first_round);
  state.counters["B_first_round_5_signals"] = static_cast<double>(configured_round);
}
BENCHMARK(Memory_device)->Iterations(20);

// Ten thousand mode-1 devices in one process, five configured signals each, after their first round;
// their rounds in turn on one thread, each round in a new second for its device.
constexpr std::size_t kFleetSize = 10000;

struct Fleet {
  std::vector<std::unique_ptr<BenchDevice>> devices;
  double bytes_constructed = 0;
  double bytes_first_round = 0;
};

Fleet& TheFleet() {
  static Fleet fleet = [] {
    Fleet f;
    f.devices.reserve(kFleetSize);
    const HeapCount start = heap_count();
    for (std::size_t i = 0; i < kFleetSize; ++i) f.devices.push_back(std::make_unique<BenchDevice>());
    f.bytes_constructed = static_cast<double>(heap_count().live_bytes - start.live_bytes) / kFleetSize;
    for (std::size_t i = 0; i < kFleetSize; ++i) {
      BenchDevice& device = *f.devices[i];
      ConfigureMode1(device, 5);
      device.data_id_ = static_cast<std::uint32_t>(1000 + i);
      device.SetReply(100);
      device.process_payload(VADID_EV7::kPollTag, 10);
    }
    f.bytes_first_round = static_cast<double>(heap_count().live_bytes - start.live_bytes) / kFleetSize;
    return f;
  }();
  return fleet;
}

void Fleet_rounds(benchmark::State& state) {
  Fleet& fleet = TheFleet();
  std::size_t next = 0;
  unsigned short base = 101;
  for (auto _ : state) {
    BenchDevice& device = *fleet.devices[next];
    device.SetReply(base);
    device.ForgetReadings();
    device.process_payload(VADID_EV7::kPollTag, 10);
    if (++next == kFleetSize) {
      next = 0;
      base ^= 1;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["devices"] = kFleetSize;
  state.counters["B/device_constructed"] = fleet.bytes_constructed;
  state.counters["B/device_first_round"] = fleet.bytes_first_round;
}
BENCHMARK(Fleet_rounds);

}  // namespace
