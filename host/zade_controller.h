#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/reader.h>

#include "events.h"
#include "framework/framework.h"
#include "history.h"
#include "host_config.h"
#include "sp_port.h"

struct HostTotals {
  long polls = 0;
  long rounds = 0;  // polls that completed with a record
  long history_rows = 0;
  long reports = 0;
  long errors = 0;
};

// The host's controller: owns the plug-ins, the lines and the devices, drives the rounds, and takes the
// calls that the framework functions make on a device's behalf (records, checks, reports, history).
// Single-threaded: every device call runs on the thread that calls PollRound and Write.
class ZadeController {
 public:
  ZadeController(EventSink& events, History& history);
  ~ZadeController();
  ZadeController(const ZadeController&) = delete;
  ZadeController& operator=(const ZadeController&) = delete;

  // Loads the plug-ins, then creates and initialises every device. Throws HostError.
  void Setup(const HostConfig& config);
  // Throws HostError for the first line that cannot be opened.
  void OpenLines();
  bool HasDevice(const std::string& name) const;
  // A register write through the device's control codes (206 for one value, 210 for several); the
  // outcome, read back with code 802 once the reply is in, is reported as a "control" event.
  void Write(const std::string& device, int address, const std::vector<std::uint16_t>& values);
  // One poll of every device, in configuration order, each followed by the readings when it completed a
  // round. Stops before the next device once stop() is true.
  void PollRound(const std::function<bool()>& stop);
  HostTotals totals() const;

  // What a device attached to this controller has in the host.
  struct Slot {
    std::string name;
    ZadeSPDevice* device = nullptr;
    SPPort* line = nullptr;
    int slave = 1;
    int timeout_ms = 500;
    std::optional<ModbusRequest> pending;
    int data_type = 0;  // of the last record handed over, for its history row
    bool recorded = false;
    HostTotals totals;
    // The last readings text that parsed, and its readings as they stand in a line.
    bool readings_known = false;
    std::string readings_text;
    std::string readings_json;
  };

  // Calls from the framework functions.
  Slot* SlotOf(const ZadeVDevice* device);
  void Fail(Slot& slot, const std::string& what);
  void OnRecord(ZadeVDevice* device, int data_type, const unsigned char* data, unsigned int length, bool delayed);
  void OnThresholdCheck(ZadeVDevice* device, const std::string& id, const std::string& name, float value, int kind);
  void OnBatchCheck(ZadeVDevice* device, std::size_t rules);
  void OnAOReport(ZadeVDevice* device, const std::string& signal_id, float value);
  int OnHistory(ZadeVDevice* device, const unsigned char* data, unsigned int length);
  void OnControl(ZadeVDevice* device, int code, const void* in, int in_len, int result);

 private:
  struct Plugin;
  Plugin& LoadPlugin(const DeviceConfig& config);
  ZadeSPDevice* Create(Plugin& plugin, const DeviceConfig& config);
  SPPort& LineFor(const DeviceConfig& config, const ZadeSPDevice& device);
  void EmitReadings(Slot& slot);
  Slot& Named(const std::string& name);

  EventSink& events_;
  History& history_;
  std::map<std::string, std::unique_ptr<Plugin>> plugins_;
  std::map<std::string, std::unique_ptr<SPPort>> lines_;
  std::map<std::string, std::string> line_owner_;  // line key -> the device that set its settings
  std::vector<std::unique_ptr<Slot>> slots_;
  std::map<const ZadeVDevice*, Slot*> by_device_;
  bool quiet_control_ = false;  // the host's own outcome query is part of its "control" event
  std::vector<char> readings_text_;  // control 801's text, kept between rounds
  std::unique_ptr<Json::CharReader> readings_reader_;
  boost::posix_time::ptime history_time_;  // and its text, of the last history row
  std::string history_time_text_;
};
