// The yardstick of the round: one bare libmodbus exchange of the poll (five registers from address 0)
// over a pseudo-terminal, with a libmodbus slave on the other side.
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <cstdint>

#include "pty_slave.h"

namespace {

void Modbus_pty_exchange(benchmark::State& state) {
  PtySlave slave;
  modbus_t* client = modbus_new_rtu(slave.slave_path().c_str(), 115200, 'N', 8, 1);
  if (client == nullptr || modbus_set_slave(client, 1) != 0 || modbus_connect(client) != 0) {
    if (client != nullptr) modbus_free(client);
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  slave.Start();
  std::uint16_t words[5];
  bool failed = false;
  for (auto _ : state) failed = modbus_read_registers(client, 0, 5, words) != 5 || failed;
  modbus_close(client);  // the hang-up ends the slave's thread
  modbus_free(client);
  if (failed) state.SkipWithError("an exchange failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Modbus_pty_exchange)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
