#include "bench_device.h"

#include <cstdio>

const char* const kReadingNames[5] = {"湿度", "温度", "PM2点5", "PM10", "PM1点0"};

std::string SignalId(std::size_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "AI-%07zu", n);
  return text;
}

void ConfigureMode1(BenchDevice& device, std::size_t signals) {
  device.data_id_ = 1201;
  device.b_mode_ = 1;
  for (std::size_t n = 0; n < signals; ++n) {
    const std::string name = n < 5 ? std::string(kReadingNames[n]) : "X" + std::to_string(n);
    const std::string id = SignalId(n);
    device.ai_signals_[name] = {id, "signal " + std::to_string(n)};
    ZadeVDevice::BAOSetting& setting = device.bao_settings_[id];
    setting.abs_enabled = true;
    setting.abs_band = 0.0f;
    setting.pct_enabled = true;
    setting.pct_band = 5.0f;
    setting.period_enabled = true;
    setting.period_minutes = 10.0f;
  }
  device.RefreshStatus();
}
