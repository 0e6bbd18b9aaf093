#pragma once

#include <cstddef>
#include <string>

#include "vadid_ev7/vadid_ev7.h"

// The sensor device with the state the benchmarks set up opened to them. It overrides no hook, so every
// call runs exactly the plug-in's code.
struct BenchDevice : VADID_EV7 {
  using VADID_EV7::ai_signals_;
  using VADID_EV7::b_mode_;
  using VADID_EV7::bao_settings_;
  using VADID_EV7::data_id_;
  using VADID_EV7::json_data_;
  using VADID_EV7::json_time_;
  using VADID_EV7::reg_buf_;
  using VADID_EV7::tab_;
  using VADID_EV7::update_time_;

  // The five readings in their registers, as a poll reply leaves them.
  void SetReply(unsigned short base) {
    for (int i = 0; i < kRegisterCount; ++i) reg_buf_[i] = static_cast<unsigned short>(base + 10 * i);
  }

  // Forgets which round the readings were made for, as a round in a later second does.
  void ForgetReadings() { json_time_ = boost::posix_time::ptime(); }
};

// The sensor's five reading names, as the configuration file maps them.
extern const char* const kReadingNames[5];

// A mode-1 device whose poll request is issued: what the host holds when the poll reply arrives. `signals`
// configured names, the first five the sensor's readings, each with an analog-output setting whose
// absolute band of 0 makes every changed reading a report.
void ConfigureMode1(BenchDevice& device, std::size_t signals);

// Signal id of the n-th configured name: ten characters, so that every one is checked.
std::string SignalId(std::size_t n);
