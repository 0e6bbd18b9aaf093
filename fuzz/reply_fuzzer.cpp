// Replies: a tag and register words into process_payload, then a round.
#include <cstdint>
#include <cstdio>

#include <fuzzer/FuzzedDataProvider.h>

#include "probe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kTags[] = {11, 206, 210, 310, 320};
  FuzzedDataProvider input(data, size);
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  rec::reset();
  Probe dev;
  dev.b_mode_ = input.ConsumeIntegralInRange<int>(0, 3);
  dev.ai_signals_["湿度"] = {"0418101001", "humidity"};
  dev.ai_signals_["更新时间"] = {"0418102001", "update time"};
  dev.bao_settings_["0418101001"].abs_enabled = true;
  dev.ctrl_expect_ = input.ConsumeIntegral<int>();
  for (int step = 0; step < 4 && input.remaining_bytes() > 0; ++step) {
    dev.tab_ = input.ConsumeBool() ? input.PickValueInArray(kTags) : input.ConsumeIntegral<int>();
    for (auto& word : dev.reg_buf_) word = input.ConsumeIntegral<unsigned short>();
    dev.process_payload(dev.tab_, input.ConsumeIntegral<unsigned int>());
  }
  dev.tab_ = 11;
  dev.process_payload(11, 10);
  return 0;
}
