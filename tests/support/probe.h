#pragma once

#include <string>
#include <vector>

#include "recording_host.h"
#include "vadid_ev7/vadid_ev7.h"

// The sensor device with its protected state opened to the tests. Its two hooks also log themselves, so
// the recording host's log shows where they run within a round.
struct Probe : VADID_EV7 {
  using VADID_EV7::ai_signals_;
  using VADID_EV7::b_mode_;
  using VADID_EV7::bao_settings_;
  using VADID_EV7::baud_rate_;
  using VADID_EV7::ctrl_expect_;
  using VADID_EV7::ctrl_result_;
  using VADID_EV7::data_;
  using VADID_EV7::data_id_;
  using VADID_EV7::data_status_;
  using VADID_EV7::device_type_;
  using VADID_EV7::json_data_;
  using VADID_EV7::json_mutex_;
  using VADID_EV7::json_time_;
  using VADID_EV7::modbus_byte_;
  using VADID_EV7::reg_buf_;
  using VADID_EV7::round_status_;
  using VADID_EV7::rule_values_;
  using VADID_EV7::tab_;
  using VADID_EV7::threshold_flag_;
  using VADID_EV7::threshold_ids_;
  using VADID_EV7::threshold_levels_;
  using VADID_EV7::threshold_signal_names_;
  using VADID_EV7::threshold_values_;
  using VADID_EV7::update_time_;

  void RunCheckThreshold() override {
    rec::log().push_back({"RunCheckThreshold", this, {}, {}, 0.0f});
    VADID_EV7::RunCheckThreshold();
  }
  void GenJsonData() override {
    rec::log().push_back({"GenJsonData", this, {}, {}, 0.0f});
    VADID_EV7::GenJsonData();
  }

  // The record as the host receives it.
  std::vector<unsigned char> record() const {
    const auto* p = reinterpret_cast<const unsigned char*>(&data_);
    return {p, p + sizeof data_};
  }

  // A poll reply with these register words, as the host's Modbus layer delivers it.
  int reply(std::vector<unsigned short> words, tab_type tab = kPollTag) {
    for (std::size_t i = 0; i < words.size(); ++i) reg_buf_[i] = words[i];
    return process_payload(tab, static_cast<unsigned int>(words.size() * 2));
  }
};
