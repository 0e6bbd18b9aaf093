#pragma once

// What vu7-sim serves and how its faults trigger; shared by the simulator and the tests that drive it.

#include <cstdint>

namespace vu7sim {

// Register map: five readings from address 0, then holding registers that accept writes.
constexpr int kHumidityRegister = 0;     // tenths of a percent
constexpr int kTemperatureRegister = 1;  // tenths of a degree
constexpr int kPm25Register = 2;
constexpr int kPm10Register = 3;
constexpr int kPm1Register = 4;
constexpr int kReadingCount = 5;
constexpr int kFirstSettingRegister = 5;
constexpr int kSettingCount = 11;
constexpr int kRegisterCount = kFirstSettingRegister + kSettingCount;

constexpr int kDefaultSlave = 1;
constexpr std::uint32_t kDefaultSeed = 1;

// Modbus exception codes the simulator answers with.
constexpr int kIllegalAddressException = 2;  // a write that touches a reading, or a register out of the map
constexpr int kBusyException = 6;            // the periodic exception fault

// Faults trigger on the simulator's request count (1, 2, ... over every request addressed to it): a fault
// "every N" hits requests N, 2N, 3N and so on. When several hit the same request, the first of these wins:
// no reply, exception, garbled frame, reply from another slave; a slow reply is delayed and then answered
// normally (or with one of the reply faults).
inline constexpr char kNoReplyEvery[] = "--no-reply-every";
inline constexpr char kExceptionEvery[] = "--exception-every";
inline constexpr char kGarbleEvery[] = "--garble-every";  // the reply goes out with a broken check sum
// The right reply, well framed, but from the slave id after the one asked (247 is followed by 1).
inline constexpr char kWrongSlaveEvery[] = "--wrong-slave-every";
constexpr int ForeignSlave(int slave) { return slave % 247 + 1; }
inline constexpr char kSlowEvery[] = "--slow-every";
inline constexpr char kSlowMs[] = "--slow-ms";
inline constexpr int kDefaultSlowMs = 1000;
// Every write is echoed wrongly, the mask applied: function 06 stores and echoes the value so changed,
// function 16 stores the values asked for and echoes the quantity so changed.
inline constexpr char kWrongEcho[] = "--wrong-echo";
constexpr std::uint16_t kWrongEchoXor = 0x0001;

// With --verbose each served read is logged on standard output as
//   "vu7-sim: request N slave S: read A+C -> V1,V2,..."
inline constexpr char kReadLogMarker[] = " -> ";

}  // namespace vu7sim
