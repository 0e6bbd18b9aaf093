#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ios>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <json/value.h>
#include <yaml-cpp/yaml.h>

#include "framework/sp_modbus.h"
#include "framework/ttime.h"

// The generic data device: a fixed-size record per round, its JSON readings, the configuration that maps
// readings to signals, and the per-round signal checks. Data_t starts with the 32-bit data id and has a
// ttime member `stamp`.
template <typename Data_t, typename Bus, int DataType>
class UniDataDevice : public Bus {
 public:
  // derived_id rewrites the characters at these positions, so shorter signal ids cannot be checked.
  static constexpr std::size_t kMinSignalIdLength = 9;

  UniDataDevice() {
    std::memset(static_cast<void*>(&data_), 0, sizeof(Data_t));
    b_mode_ = 1;
  }
  ~UniDataDevice() override = default;
  UniDataDevice(const UniDataDevice&) = delete;
  UniDataDevice& operator=(const UniDataDevice&) = delete;

  using Bus::LoadFromCache;
  bool LoadFromCache(const unsigned char* record, int length) override {
    if (record == nullptr || length != static_cast<int>(sizeof(Data_t))) return false;
    std::memcpy(static_cast<void*>(&data_), record, sizeof(Data_t));
    this->data_status_ = true;
    this->RoundDone();
    return true;
  }

  void RoundDone() override {
    this->data_status_ = true;
    this->update_time_ = boost::posix_time::second_clock::local_time();
    data_.stamp = get_ttime(this->update_time_);
    this->ZadeVDevice::SendSP(DataType, RecordBytes(), sizeof(Data_t), false);
    this->Reset();
    this->round_status_ = 1;
    this->threshold_flag_ = false;
    this->RunCheckThreshold();
    if (b_mode_ == 1) {
      // GenJsonData takes json_mutex_ itself, and the mutex is not recursive.
      this->GenJsonData();
      std::lock_guard<std::mutex> lock(json_mutex_);
      for (const auto& signal : ai_signals_) CheckSignal(signal.first, signal.second);
    }
    std::cout << "rvSize is " << this->rule_values_.size() << std::endl;
    const bool raised = this->ZadeVDevice::DoBatchCheckThreshold(this->rule_values_);
    this->threshold_flag_ = raised || this->threshold_flag_;
    this->ZadeVDevice::SaveDeviceHistory(RecordBytes(), sizeof(Data_t));
    this->rule_values_.clear();
  }

  bool InitSetting(const Json::Value& config) override {
    data_.data_id = this->data_id_;
    const Json::Value& app = config["appSetting"];
    if (app.isObject() && !app["b_mode"].isNull()) {
      b_mode_ = ParseMode(app["b_mode"].asString());
      std::cout << "InitSetting " << this->data_id_ << " b_mode_:" << b_mode_ << std::endl;
    }
    if (b_mode_ == 1) {
      LoadConfigFile();
    } else if (b_mode_ == 3) {
      LoadThresholdIds(config);
    }
    return Bus::InitSetting(config);
  }

  virtual void RunCheckThreshold() {}
  virtual void GenJsonData() {}

  // Decides and makes the analog-output change report of one reading; true when it reported.
  bool CheckAOReport(const std::string& derived_id, const std::string& signal_id, float value) {
    auto setting = this->bao_settings_.find(signal_id);
    if (setting == this->bao_settings_.end()) {
      const auto derived = this->bao_settings_.find(derived_id);
      if (derived == this->bao_settings_.end()) return false;
      setting = this->bao_settings_.emplace(signal_id, derived->second).first;
    }
    ZadeVDevice::BAOSetting& s = setting->second;
    bool due = false;
    if (s.abs_enabled) {
      const float upper = s.last_value + s.abs_band;
      const float lower = s.last_value - s.abs_band;
      if (value > upper || value < lower) due = true;
    }
    if (s.pct_enabled) {
      const float upper = s.last_value * (s.pct_band + 100.0f) / 100.0f;
      const float lower = s.last_value * (100.0f - s.pct_band) / 100.0f;
      if (value > upper || value < lower) due = true;
    }
    if (s.period_enabled) {
      // Whole seconds: a float clock moves in 128-second steps at present-day values. The elapsed count
      // and the product are exact in double, where a clock-sized sum would round.
      const std::int64_t elapsed =
          static_cast<std::int64_t>(std::time(nullptr)) - static_cast<std::int64_t>(s.last_report_time);
      if (static_cast<double>(elapsed) > static_cast<double>(s.period_minutes) * 60.0) due = true;
    }
    if (!due) return false;
    s.last_value = value;
    s.last_report_time = static_cast<std::uint32_t>(std::time(nullptr));
    this->ZadeVDevice::CheckAOReport(signal_id, value);
    return true;
  }

 protected:
  const unsigned char* RecordBytes() const { return reinterpret_cast<const unsigned char*>(&data_); }

  // atoi's result wherever atoi is defined; numbers beyond int are clamped instead of undefined.
  static int ParseMode(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
  }

  static bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
  }

  // Signal id before the first comma, signal name after it; without a comma both are the whole text.
  static void SplitSignal(const std::string& value, std::pair<std::string, std::string>& signal) {
    const std::size_t comma = value.find(',');
    if (comma == std::string::npos) {
      signal = {value, value};
    } else {
      signal = {value.substr(0, comma), value.substr(comma + 1)};
    }
  }

  // The first of the eight candidates that exists: ./ini/ before ./ini/unicom/, the data id before the
  // device type, YAML before INI. Empty when there is none.
  std::string FindConfigFile(const std::string& id) const {
    for (const char* dir : {"./ini/", "./ini/unicom/"}) {
      for (const std::string* name : {&id, &this->device_type_}) {
        for (const char* extension : {".yaml", ".ini"}) {
          std::string candidate = dir + *name + extension;
          if (::access(candidate.c_str(), F_OK) == 0) return candidate;
        }
      }
    }
    return {};
  }

  void LoadConfigFile() {
    const std::string id = boost::lexical_cast<std::string>(this->data_id_);
    const std::string file = FindConfigFile(id);
    if (file.empty()) {
      // A sensor that works still polls and publishes without a signal map.
      std::cout << "data_id:" << id << " model:" << this->device_type_ << " b ini not found" << std::endl;
      return;
    }
    std::cout << "parse ini/yaml filename:" << file << std::endl;
    if (EndsWith(file, ".yaml")) {
      LoadYaml(file);
    } else if (EndsWith(file, ".ini")) {
      LoadIni(file);
    }
    std::cout << "AI " << id << std::endl;
    for (const auto& signal : ai_signals_) {
      std::cout << "first:" << signal.first << " second:" << signal.second.first
                << " name:" << signal.second.second << std::endl;
    }
  }

  // A device file maps a handful of readings; anything near this size is not one, and parsing it would cost
  // the host seconds and gigabytes.
  static constexpr long long kMaxConfigFileBytes = 1 << 20;

  enum class FileCheck { kReadable, kNotRegular, kTooLarge };

  // Only a regular file is opened: a FIFO under a candidate's name would block the host's thread in the open.
  static FileCheck CheckFile(const std::string& file) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return FileCheck::kNotRegular;
    if (static_cast<long long>(st.st_size) > kMaxConfigFileBytes) return FileCheck::kTooLarge;
    return FileCheck::kReadable;
  }
  static std::string TooLargeText() { return "file larger than " + std::to_string(kMaxConfigFileBytes) + " bytes"; }

  void LoadYaml(const std::string& file) {
    switch (CheckFile(file)) {
      case FileCheck::kNotRegular:
        throw YAML::BadFile(file);
      case FileCheck::kTooLarge:
        throw YAML::Exception(YAML::Mark::null_mark(), TooLargeText() + ": " + file);
      case FileCheck::kReadable:
        break;
    }
    YAML::Node root;
    try {
      root = YAML::LoadFile(file);
    } catch (const std::ios_base::failure&) {
      throw YAML::BadFile(file);  // a read that failed after the open
    }
    const YAML::Node ai = root["AI"];
    if (!ai) return;
    for (auto entry = ai.begin(); entry != ai.end(); ++entry) {
      auto& signal = ai_signals_[entry->first.as<std::string>()];
      SplitSignal(entry->second.as<std::string>(), signal);
    }
  }

  void LoadIni(const std::string& file) {
    switch (CheckFile(file)) {
      case FileCheck::kNotRegular:
        throw boost::property_tree::ini_parser_error("cannot open file", file, 0);
      case FileCheck::kTooLarge:
        throw boost::property_tree::ini_parser_error(TooLargeText(), file, 0);
      case FileCheck::kReadable:
        break;
    }
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(file, tree, std::locale());
    for (const auto& entry : tree.get_child("AI")) {
      SplitSignal(entry.second.data(), ai_signals_[entry.first]);
    }
  }

  void LoadThresholdIds(const Json::Value& config) {
    std::cout << "here 1" << std::endl;
    const Json::Value& settings = config["thresholdSetting"];
    if (settings.isNull()) return;
    std::cout << "here 2" << std::endl;
    for (auto member = settings.begin(); member != settings.end(); ++member) {
      const std::string key = member.name();
      std::cout << "here " << key << std::endl;
      const Json::Value& entry = settings[key];
      if (!entry.isObject()) continue;
      if (!entry["SignalName"].isNull()) threshold_signal_names_[key] = entry["SignalName"].asString();
      std::string ids;
      for (const char* part : {"NMAlarmID", "ID", "SignalNumber"}) {
        if (!entry[part].isNull()) {
          ids += entry[part].asString();
        } else {
          std::cout << this->data_id_ << " " << part << " is missing" << std::endl;
        }
        ids += ";";
      }
      std::cout << "mobile:" << key << ":" << ids << " level:" << this->threshold_levels_[key]
                << " value:" << this->threshold_values_[key] << std::endl;
      threshold_ids_[key] = ids;
    }
  }

  // One configured signal of a round; runs with json_mutex_ held.
  void CheckSignal(const std::string& reading_name, const std::pair<std::string, std::string>& signal) {
    const std::string signal_id = signal.first;
    const std::string signal_name = signal.second;
    if (signal_id.size() < kMinSignalIdLength) {
      if (short_ids_told_.emplace(reading_name, signal_id).second) {
        std::cout << "signal id " << signal_id << " of " << reading_name << " is shorter than "
                  << kMinSignalIdLength << " characters: not checked" << std::endl;
      }
      return;
    }
    std::string derived_id = signal_id;
    derived_id[3] = '6';
    derived_id[8] = '1';
    // Other code can reach json_data_ (control code 803); a value that takes no members has no readings.
    if (!json_data_.isNull() && !json_data_.isObject()) return;
    const Json::Value& reading = json_data_[reading_name];
    // Text, objects and arrays cannot be converted; skipping them keeps the round (and its history).
    if (!reading.isNumeric() && !reading.isBool()) return;
    const float value = reading.asFloat();
    this->ZadeVDevice::CheckThreshold(derived_id, signal_name, value, 1);
    CheckAOReport(derived_id, signal_id, value);
  }

  Data_t data_;
  int b_mode_ = 1;
  std::map<std::string, std::string> threshold_ids_;
  std::map<std::string, std::string> threshold_signal_names_;
  boost::posix_time::ptime json_time_;
  std::mutex json_mutex_;
  Json::Value json_data_;
  std::map<std::string, std::pair<std::string, std::string>> ai_signals_;
  std::set<std::pair<std::string, std::string>> short_ids_told_;  // (reading name, short signal id) already told
};
