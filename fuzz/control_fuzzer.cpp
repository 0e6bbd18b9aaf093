// Control requests against a device that has completed a round: nothing may leave DeviceIoControl.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "probe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kCodes[] = {206, 210, 310, 320, 801, 802, 803, 0, -1};
  FuzzedDataProvider input(data, size);
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  rec::reset();
  Probe dev;
  dev.b_mode_ = input.ConsumeBool() ? 1 : 0;
  dev.tab_ = 11;
  dev.reply({523, 251, 35, 40, 20});

  const int code = input.ConsumeBool() ? input.PickValueInArray(kCodes) : input.ConsumeIntegral<int>();
  const int out_cap = input.ConsumeIntegralInRange<int>(-8, 4096);
  const bool null_in = input.ConsumeProbability<float>() < 0.05f;
  const bool null_out = input.ConsumeProbability<float>() < 0.05f;
  const std::vector<std::uint8_t> in = input.ConsumeRemainingBytes<std::uint8_t>();
  // The host's buffers are exactly as large as it says.
  std::vector<std::uint8_t> out(out_cap > 0 ? static_cast<std::size_t>(out_cap) : 0);
  int out_len = -7;
  dev.DeviceIoControl(code, null_in ? nullptr : in.data(), static_cast<int>(in.size()),
                      null_out || out.empty() ? nullptr : out.data(), out_cap, out_len);
  // Then the device still completes rounds and answers.
  dev.tab_ = 11;
  dev.reply({1, 2, 3, 4, 5});
  dev.DeviceIoControl(801, nullptr, 0, out.empty() ? nullptr : out.data(), out_cap, out_len);
  return 0;
}
