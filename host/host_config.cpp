#include "host_config.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <set>
#include <sstream>

#include <json/reader.h>

namespace {

class Checker {
 public:
  explicit Checker(std::string file) : file_(std::move(file)) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw HostError(file_ + ": " + (where.empty() ? "" : where + ": ") + what);
  }

  const Json::Value& Required(const Json::Value& object, const std::string& where, const char* key) const {
    const Json::Value& value = object[key];
    if (value.isNull()) Fail(where, std::string("missing field \"") + key + "\"");
    return value;
  }

  void OnlyKeys(const Json::Value& object, const std::string& where, const std::set<std::string>& known) const {
    for (const std::string& key : object.getMemberNames()) {
      if (known.count(key) == 0) Fail(where, "unknown field \"" + key + "\"");
    }
  }

  std::string String(const Json::Value& value, const std::string& where, const char* key) const {
    if (!value.isString() || value.asString().empty()) Fail(where, std::string("\"") + key + "\" must be a non-empty string");
    return value.asString();
  }

  long long Integer(const Json::Value& value, const std::string& where, const char* key, long long low,
                    long long high) const {
    const bool whole = value.isIntegral() || (value.isDouble() && std::isfinite(value.asDouble()) &&
                                              std::floor(value.asDouble()) == value.asDouble());
    bool in_range = false;
    long long n = 0;
    if (whole && value.isUInt64() && value.asUInt64() <= static_cast<Json::UInt64>(high)) {
      n = static_cast<long long>(value.asUInt64());
      in_range = n >= low;
    } else if (whole && value.isInt64()) {
      n = value.asInt64();
      in_range = n >= low && n <= high;
    }
    if (!in_range) {
      Fail(where, std::string("\"") + key + "\" must be a whole number from " + std::to_string(low) + " to " +
                      std::to_string(high));
    }
    return n;
  }

 private:
  std::string file_;
};

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

BusConfig ParseBus(const Checker& c, const Json::Value& bus, const std::string& where) {
  if (!bus.isObject()) c.Fail(where, "\"bus\" must be an object");
  c.OnlyKeys(bus, where, {"port", "tcp", "baud", "parity", "dataBits", "stopBits", "slave", "timeoutMs", "gapMs",
                          "backoffMaxMs"});
  BusConfig b;
  const bool serial = !bus["port"].isNull();
  const bool tcp = !bus["tcp"].isNull();
  if (serial == tcp) c.Fail(where, "give one of \"port\" and \"tcp\"");
  if (serial) {
    b.port = c.String(bus["port"], where, "port");
  } else {
    b.tcp = c.String(bus["tcp"], where, "tcp");
    const std::size_t colon = b.tcp.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == b.tcp.size()) {
      c.Fail(where, "\"tcp\" must be \"host:port\"");
    }
  }
  if (!bus["baud"].isNull()) b.baud = static_cast<int>(c.Integer(bus["baud"], where, "baud", 1, 4000000));
  if (!bus["parity"].isNull()) {
    const std::string p = bus["parity"].isString() ? bus["parity"].asString() : "";
    if (p != "N" && p != "E" && p != "O") c.Fail(where, "\"parity\" must be \"N\", \"E\" or \"O\"");
    b.parity = p[0];
  }
  if (!bus["dataBits"].isNull()) b.data_bits = static_cast<int>(c.Integer(bus["dataBits"], where, "dataBits", 5, 8));
  if (!bus["stopBits"].isNull()) b.stop_bits = static_cast<int>(c.Integer(bus["stopBits"], where, "stopBits", 1, 2));
  // 0 is broadcast, which never answers; TCP gateways take the full byte.
  if (!bus["slave"].isNull()) b.slave = static_cast<int>(c.Integer(bus["slave"], where, "slave", 1, serial ? 247 : 255));
  if (!bus["timeoutMs"].isNull()) b.timeout_ms = static_cast<int>(c.Integer(bus["timeoutMs"], where, "timeoutMs", 1, 60000));
  if (!bus["gapMs"].isNull()) b.gap_ms = static_cast<int>(c.Integer(bus["gapMs"], where, "gapMs", 0, 60000));
  if (!bus["backoffMaxMs"].isNull()) {
    b.backoff_max_ms = static_cast<int>(c.Integer(bus["backoffMaxMs"], where, "backoffMaxMs", 1, 3600000));
  }
  for (const char* key : {"baud", "parity", "dataBits", "stopBits", "gapMs", "backoffMaxMs"}) {
    if (!bus[key].isNull()) b.line_keys.insert(key);
  }
  return b;
}

}  // namespace

ZadeVDevice::BAOSetting ParseAoSetting(const Json::Value& entry, const std::string& where) {
  ZadeVDevice::BAOSetting s;
  if (!entry.isObject()) throw HostError(where + ": must be an object");
  for (const std::string& key : entry.getMemberNames()) {
    if (key != "absBand" && key != "pctBand" && key != "periodMinutes") {
      throw HostError(where + ": unknown field \"" + key + "\"");
    }
  }
  const auto band = [&](const char* key) -> float {
    const Json::Value& v = entry[key];
    if (!v.isNumeric() || !std::isfinite(v.asDouble()) || v.asDouble() < 0 ||
        v.asDouble() > std::numeric_limits<float>::max()) {
      throw HostError(where + ": \"" + key + "\" must be a number of at least 0");
    }
    return v.asFloat();
  };
  if (entry.isMember("absBand")) {
    s.abs_enabled = true;
    s.abs_band = band("absBand");
  }
  if (entry.isMember("pctBand")) {
    s.pct_enabled = true;
    s.pct_band = band("pctBand");
  }
  if (entry.isMember("periodMinutes")) {
    s.period_enabled = true;
    s.period_minutes = band("periodMinutes");
  }
  return s;
}

namespace {

Json::Value ReadJsonFile(const std::string& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw HostError("cannot read " + what + " " + path + ": " + std::strerror(errno));
  std::stringstream text;
  text << in.rdbuf();
  const std::string content = text.str();

  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  builder["stackLimit"] = 100;
  Json::Value root;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  bool parsed = false;
  try {
    parsed = reader->parse(content.data(), content.data() + content.size(), &root, &errors);
  } catch (const std::exception& e) {
    errors = e.what();
  }
  if (!parsed) {
    // jsoncpp's report spans lines: where, then what.
    std::string first = errors.substr(0, errors.find('\n'));
    const std::size_t next = errors.find('\n');
    if (next != std::string::npos && next + 1 < errors.size()) {
      std::string detail = errors.substr(next + 1);
      detail = detail.substr(0, detail.find('\n'));
      while (!detail.empty() && detail.front() == ' ') detail.erase(0, 1);
      first += " " + detail;
    }
    throw HostError(path + ": not JSON: " + first);
  }
  return root;
}

}  // namespace

HostConfig LoadHostConfig(const std::string& path, const std::string& plugin_dir) {
  const Json::Value root = ReadJsonFile(path, "configuration");
  const Checker c(path);
  if (!root.isObject()) c.Fail("", "the configuration must be a JSON object");
  c.OnlyKeys(root, "", {"devices"});
  const Json::Value& devices = c.Required(root, "", "devices");
  if (!devices.isArray() || devices.empty()) c.Fail("", "\"devices\" must be a non-empty array");

  const std::string base = plugin_dir.empty() ? FolderOf(path) : plugin_dir;
  HostConfig config;
  std::set<std::string> names;
  for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
    const Json::Value& d = devices[i];
    std::string where = "devices[" + std::to_string(i) + "]";
    if (!d.isObject()) c.Fail(where, "must be an object");
    c.OnlyKeys(d, where, {"name", "plugin", "deviceType", "dataId", "bus", "ao", "setting"});
    DeviceConfig dev;
    dev.name = c.String(c.Required(d, where, "name"), where, "name");
    where += " (" + dev.name + ")";
    if (!names.insert(dev.name).second) c.Fail(where, "another device has the name \"" + dev.name + "\"");
    dev.plugin = c.String(c.Required(d, where, "plugin"), where, "plugin");
    if (dev.plugin[0] != '/') dev.plugin = base + "/" + dev.plugin;
    if (!d["deviceType"].isNull()) dev.device_type = c.String(d["deviceType"], where, "deviceType");
    dev.data_id = static_cast<std::uint32_t>(
        c.Integer(c.Required(d, where, "dataId"), where, "dataId", 0, std::numeric_limits<std::uint32_t>::max()));
    dev.bus = ParseBus(c, c.Required(d, where, "bus"), where + ": bus");
    if (!d["ao"].isNull()) {
      if (!d["ao"].isObject()) c.Fail(where, "\"ao\" must be an object of signal ids");
      for (const std::string& id : d["ao"].getMemberNames()) {
        dev.ao[id] = ParseAoSetting(d["ao"][id], path + ": " + where + ": ao \"" + id + "\"");
      }
    }
    // The device's own settings, inline or in a JSON file beside the configuration.
    if (d["setting"].isString()) {
      std::string file = c.String(d["setting"], where, "setting");
      if (file[0] != '/') file = FolderOf(path) + "/" + file;
      dev.setting = ReadJsonFile(file, "setting file");
      if (!dev.setting.isObject()) c.Fail(where, "setting file " + file + " must hold a JSON object");
    } else if (!d["setting"].isNull()) {
      if (!d["setting"].isObject()) c.Fail(where, "\"setting\" must be an object or the name of a JSON file");
      dev.setting = d["setting"];
    }
    config.devices.push_back(std::move(dev));
  }
  return config;
}
