#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "framework/zade_vdevice.h"

// A configuration, a plug-in or a port that the host cannot work with; the text is the whole message.
struct HostError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct BusConfig {
  std::string port;  // serial device path; empty for TCP
  std::string tcp;   // "host:port"; empty for a serial line
  int baud = 0;      // 0: the device's own baud rate
  char parity = 'N';
  int data_bits = 8;
  int stop_bits = 1;
  int slave = 1;
  int timeout_ms = 500;
  int gap_ms = -1;  // pause between requests on the line; -1: the transport's default
  int backoff_max_ms = 8000;
  // The line settings this device gave ("baud", "parity", "dataBits", "stopBits", "gapMs", "backoffMaxMs"):
  // devices sharing a line must agree on these.
  std::set<std::string> line_keys;
};

struct DeviceConfig {
  std::string name;
  std::string plugin;       // path to open; relative paths already resolved
  std::string device_type;  // which provider's device; empty: the plug-in's first
  std::uint32_t data_id = 0;
  BusConfig bus;
  std::map<std::string, ZadeVDevice::BAOSetting> ao;
  Json::Value setting{Json::objectValue};
};

struct HostConfig {
  std::vector<DeviceConfig> devices;
};

// Reads and checks the host configuration. Relative plug-in paths are taken from plugin_dir when it is
// not empty, else from the configuration file's folder. Throws HostError naming the file and the field.
HostConfig LoadHostConfig(const std::string& path, const std::string& plugin_dir);

// The AO report setting of one "ao" entry: the checks whose keys are present are enabled.
ZadeVDevice::BAOSetting ParseAoSetting(const Json::Value& entry, const std::string& where);
