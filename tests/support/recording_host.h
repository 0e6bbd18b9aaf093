#pragma once

#include <optional>
#include <string>
#include <vector>

#include "framework/framework.h"

// A test double of the host framework: every host call a device makes is appended to a log, in order,
// with its arguments; the answers are scripted.
namespace rec {

struct Call {
  std::string fn;                    // e.g. "SendSP", "ZadeSPDevice::Reset"
  const void* device = nullptr;      // the device the call was made on
  std::vector<std::string> args;     // arguments as text
  std::vector<unsigned char> bytes;  // record or register words, where the call carries them; the
                                     // out_cap bytes of out as the base DeviceIoControl finds them
  float value = 0.0f;                // the value of CheckThreshold and CheckAOReport
};

struct Script {
  bool batch_result = false;
  bool init_setting_result = true;
  int base_ioctl_result = 0;
  int refresh_result = 0;
  int modbus_result = 0;
  bool open_port_result = true;
  std::optional<ttime> stamp;  // get_ttime's answer; the real conversion when empty
};

std::vector<Call>& log();
Script& script();
// Clears the log and the script.
void reset();
// The function names of the log, in order.
std::vector<std::string> names();
// The calls named fn.
std::vector<Call> calls(const std::string& fn);

// The local-time conversion the recording get_ttime uses when nothing is scripted.
ttime to_ttime(const boost::posix_time::ptime& t);

}  // namespace rec
