#include "zade_controller.h"

#include <dlfcn.h>

#include <cstdio>
#include <memory>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/reader.h>

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

constexpr int kWriteOneCode = 206;
constexpr int kWriteManyCode = 210;
constexpr int kReadingsCode = 801;
constexpr int kOutcomeCode = 802;
constexpr int kSerialGapMs = 10;  // well over 3.5 characters at 9600 baud

std::string Quoted(const std::string& name) { return "device \"" + name + "\""; }

std::string TimeText(const boost::posix_time::ptime& t) {
  const boost::posix_time::ptime when = t.is_special() ? boost::posix_time::second_clock::local_time() : t;
  const auto d = when.date();
  const auto tod = when.time_of_day();
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(d.year()),
                static_cast<int>(d.month().as_number()), static_cast<int>(d.day()), static_cast<int>(tod.hours()),
                static_cast<int>(tod.minutes()), static_cast<int>(tod.seconds()));
  return text;
}

// What the device answers a value request with: its refusal's text (whether its data is missing, too old
// or simply not offered this way), or the value.
Json::Value ValueAnswer(const ZadeVDevice& device) {
  try {
    return static_cast<double>(device.Get_Value(device.DataId(), ""));
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception that is not a std::exception";
  }
}

}  // namespace

struct ZadeController::Plugin {
  std::string path;
  void* handle = nullptr;
  std::vector<std::shared_ptr<Provider>> providers;
};

ZadeController::ZadeController(EventSink& events, History& history)
    : events_(events), history_(history), readings_reader_(Json::CharReaderBuilder().newCharReader()) {}

ZadeController::~ZadeController() {
  // Devices first, then the providers, then the code they came from.
  by_device_.clear();
  for (auto& slot : slots_) delete slot->device;
  slots_.clear();
  lines_.clear();
  for (auto& plugin : plugins_) {
    plugin.second->providers.clear();
    if (plugin.second->handle != nullptr) dlclose(plugin.second->handle);
  }
}

ZadeController::Plugin& ZadeController::LoadPlugin(const DeviceConfig& config) {
  auto found = plugins_.find(config.plugin);
  if (found != plugins_.end()) return *found->second;
  auto plugin = std::make_unique<Plugin>();
  plugin->path = config.plugin;
  dlerror();
  plugin->handle = dlopen(config.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (plugin->handle == nullptr) {
    const char* why = dlerror();
    throw HostError(Quoted(config.name) + ": cannot load plug-in: " + (why != nullptr ? why : config.plugin));
  }
  Plugin& loaded = *plugins_.emplace(config.plugin, std::move(plugin)).first->second;
  const auto entry = reinterpret_cast<GetProviders>(dlsym(loaded.handle, "get_providers"));
  if (entry == nullptr) throw HostError(Quoted(config.name) + ": plug-in " + config.plugin + " has no get_providers");
  try {
    loaded.providers = entry();
  } catch (const std::exception& e) {
    throw HostError(Quoted(config.name) + ": get_providers of " + config.plugin + " failed: " + e.what());
  }
  return loaded;
}

ZadeSPDevice* ZadeController::Create(Plugin& plugin, const DeviceConfig& config) {
  for (const auto& provider : plugin.providers) {
    const auto* factory = dynamic_cast<const ZadeSPDeviceProvider*>(provider.get());
    if (factory == nullptr) continue;
    ZadeSPDevice* device = nullptr;
    try {
      device = factory->create();
    } catch (const std::exception& e) {
      throw HostError(Quoted(config.name) + ": creating the device failed: " + e.what());
    }
    if (device == nullptr) continue;
    if (!config.device_type.empty() && device->DeviceType() != config.device_type) {
      delete device;
      continue;
    }
    if (dynamic_cast<SPModbus*>(device) == nullptr) {
      const std::string type = device->DeviceType();
      delete device;
      throw HostError(Quoted(config.name) + ": device type \"" + type + "\" is not a Modbus device");
    }
    return device;
  }
  throw HostError(Quoted(config.name) + ": plug-in " + plugin.path + " provides no serial device" +
                  (config.device_type.empty() ? "" : " of type \"" + config.device_type + "\""));
}

SPPort& ZadeController::LineFor(const DeviceConfig& config, const ZadeSPDevice& device) {
  const BusConfig& bus = config.bus;
  LineSettings line;
  if (bus.port.empty()) {
    const std::size_t colon = bus.tcp.rfind(':');
    line.host = bus.tcp.substr(0, colon);
    if (line.host.size() > 2 && line.host.front() == '[' && line.host.back() == ']') {
      line.host = line.host.substr(1, line.host.size() - 2);
    }
    line.service = bus.tcp.substr(colon + 1);
  } else {
    line.path = bus.port;
  }
  line.baud = bus.baud > 0 ? bus.baud : (device.baud_rate_ > 0 ? device.baud_rate_ : 9600);
  line.parity = bus.parity;
  line.data_bits = bus.data_bits;
  line.stop_bits = bus.stop_bits;
  line.gap_ms = bus.gap_ms >= 0 ? bus.gap_ms : (line.tcp() ? 0 : kSerialGapMs);
  line.backoff_max_ms = bus.backoff_max_ms;

  const std::string key = (line.tcp() ? "tcp:" : "serial:") + line.name();
  const auto found = lines_.find(key);
  if (found == lines_.end()) {
    line_owner_[key] = config.name;
    return *lines_.emplace(key, std::make_unique<SPPort>(line)).first->second;
  }
  const LineSettings& have = found->second->settings();
  const std::map<std::string, bool> agrees{
      {"baud", have.baud == line.baud},           {"parity", have.parity == line.parity},
      {"dataBits", have.data_bits == line.data_bits}, {"stopBits", have.stop_bits == line.stop_bits},
      {"gapMs", have.gap_ms == line.gap_ms},      {"backoffMaxMs", have.backoff_max_ms == line.backoff_max_ms}};
  for (const std::string& given : bus.line_keys) {
    if (!agrees.at(given)) {
      throw HostError(Quoted(config.name) + ": shares line " + line.name() + " with " + Quoted(line_owner_[key]) +
                      " but gives it another \"" + given + "\"");
    }
  }
  return *found->second;
}

void ZadeController::Setup(const HostConfig& config) {
  for (const DeviceConfig& d : config.devices) {
    Plugin& plugin = LoadPlugin(d);
    ZadeSPDevice* device = Create(plugin, d);
    auto slot = std::make_unique<Slot>();
    slot->name = d.name;
    slot->device = device;
    slot->slave = d.bus.slave;
    slot->timeout_ms = d.bus.timeout_ms;
    Slot& s = *slot;
    slots_.push_back(std::move(slot));
    by_device_[device] = &s;
    s.line = &LineFor(d, *device);
    device->port_ = s.line;
    device->InitV(this, d.data_id);
    device->data_id_ = d.data_id;
    device->bao_settings_ = d.ao;
    bool accepted = false;
    try {
      accepted = device->InitSetting(d.setting);
    } catch (const std::exception& e) {
      throw HostError(Quoted(d.name) + ": InitSetting failed: " + e.what());
    } catch (...) {
      throw HostError(Quoted(d.name) + ": InitSetting failed with an exception that is not a std::exception");
    }
    if (!accepted) throw HostError(Quoted(d.name) + ": InitSetting refused the configuration");
  }
  events_.Flush();
}

void ZadeController::OpenLines() {
  for (auto& line : lines_) {
    std::string error;
    if (!line.second->Open(&error)) throw HostError(error);
  }
}

bool ZadeController::HasDevice(const std::string& name) const {
  for (const auto& slot : slots_)
    if (slot->name == name) return true;
  return false;
}

ZadeController::Slot& ZadeController::Named(const std::string& name) {
  for (auto& slot : slots_)
    if (slot->name == name) return *slot;
  throw HostError("no device named \"" + name + "\"");
}

ZadeController::Slot* ZadeController::SlotOf(const ZadeVDevice* device) {
  const auto found = by_device_.find(device);
  return found == by_device_.end() ? nullptr : found->second;
}

void ZadeController::Write(const std::string& name, int address, const std::vector<std::uint16_t>& values) {
  Slot& s = Named(name);
  std::vector<std::uint16_t> words;
  words.push_back(static_cast<std::uint16_t>(address));
  words.insert(words.end(), values.begin(), values.end());
  const int code = values.size() == 1 ? kWriteOneCode : kWriteManyCode;
  int out_len = 0;
  const int result = s.device->DeviceIoControl(code, words.data(), static_cast<int>(words.size() * sizeof(words[0])),
                                               nullptr, 0, out_len);
  s.device->process();
  int outcome = -1;
  out_len = 0;
  quiet_control_ = true;
  s.device->DeviceIoControl(kOutcomeCode, nullptr, 0, &outcome, sizeof outcome, out_len);
  quiet_control_ = false;

  Json::Value event;
  event["device"] = s.name;
  event["code"] = code;
  event["address"] = address;
  Json::Value list(Json::arrayValue);
  for (std::uint16_t v : values) list.append(v);
  event["values"] = list;
  event["result"] = result;
  event["outcome"] = out_len == static_cast<int>(sizeof outcome) ? Json::Value(outcome) : Json::Value();
  events_.Emit("control", event);
  events_.Flush();
}

void ZadeController::PollRound(const std::function<bool()>& stop) {
  for (auto& slot : slots_) {
    if (stop()) return;
    Slot& s = *slot;
    ++s.totals.polls;
    s.recorded = false;
    s.device->RefreshStatus();
    s.device->process();
    if (s.recorded) {
      ++s.totals.rounds;
      EmitReadings(s);
    }
    // The device's round goes out whole, in one write.
    events_.Flush();
  }
}

void ZadeController::EmitReadings(Slot& s) {
  // The buffer is kept, its size is not: a longer text is asked for twice every round.
  std::vector<char>& text = readings_text_;
  text.resize(4096);
  int length = 0;
  int rc = s.device->DeviceIoControl(kReadingsCode, nullptr, 0, text.data(), static_cast<int>(text.size()), length);
  if (rc != 0 && length > static_cast<int>(text.size()) && length <= (1 << 20)) {
    text.resize(static_cast<std::size_t>(length));
    rc = s.device->DeviceIoControl(kReadingsCode, nullptr, 0, text.data(), static_cast<int>(text.size()), length);
  }
  if (rc != 0 || length < 0 || length > static_cast<int>(text.size())) {
    Fail(s, "readings (control " + std::to_string(kReadingsCode) + ") refused with " + std::to_string(rc));
    return;
  }
  // Rounds within one second with the same readings give the same text; it is parsed and written once.
  const std::size_t size = static_cast<std::size_t>(length);
  if (!s.readings_known || s.readings_text.compare(0, std::string::npos, text.data(), size) != 0) {
    Json::Value readings;
    std::string errors;
    if (!readings_reader_->parse(text.data(), text.data() + length, &readings, &errors)) {
      Fail(s, "readings are not JSON: " + errors.substr(0, errors.find('\n')));
      return;
    }
    if (readings.hasComment(Json::commentBefore) || readings.hasComment(Json::commentAfterOnSameLine) ||
        readings.hasComment(Json::commentAfter)) {
      // The writer puts the comments of a member's value elsewhere than those of a whole line's.
      Json::Value event;
      event["device"] = s.name;
      event["dataId"] = s.device->DataId();
      event["round"] = static_cast<Json::Int64>(s.totals.polls);
      event["readings"] = std::move(readings);
      events_.Emit("readings", event);
      return;
    }
    s.readings_text.assign(text.data(), size);
    s.readings_json = events_.Render(readings);
    s.readings_known = true;
  }
  EventSink::Line(events_, "readings")
      .Text("device", s.name)
      .Int("dataId", s.device->DataId())
      .Int("round", s.totals.polls)
      .Rendered("readings", s.readings_json)
      .Emit();
}

HostTotals ZadeController::totals() const {
  HostTotals sum;
  for (const auto& slot : slots_) {
    sum.polls += slot->totals.polls;
    sum.rounds += slot->totals.rounds;
    sum.history_rows += slot->totals.history_rows;
    sum.reports += slot->totals.reports;
    sum.errors += slot->totals.errors;
  }
  return sum;
}

void ZadeController::Fail(Slot& s, const std::string& what) {
  ++s.totals.errors;
  Json::Value event;
  event["device"] = s.name;
  event["round"] = static_cast<Json::Int64>(s.totals.polls);
  if (s.line != nullptr) event["line"] = s.line->name();
  event["what"] = what;
  event["value"] = ValueAnswer(*s.device);
  events_.Emit("error", event);
}

void ZadeController::OnRecord(ZadeVDevice* device, int data_type, const unsigned char* data, unsigned int length,
                              bool delayed) {
  Slot* s = SlotOf(device);
  if (s == nullptr) return;
  s->recorded = true;
  s->data_type = data_type;
  EventSink::Line(events_, "record")
      .Text("device", s->name)
      .Int("dataId", device->DataId())
      .Int("dataType", data_type)
      .Int("round", s->totals.polls)
      .Bool("delayed", delayed)
      .Text("hex", data != nullptr ? Hex(data, length) : "")
      .Emit();
}

void ZadeController::OnThresholdCheck(ZadeVDevice* device, const std::string& id, const std::string& name,
                                      float value, int kind) {
  Slot* s = SlotOf(device);
  if (s == nullptr) return;
  EventSink::Line(events_, "threshold_check")
      .Text("device", s->name)
      .Text("signalId", id)
      .Text("name", name)
      .Real("value", value)
      .Int("kind", kind)
      .Emit();
}

void ZadeController::OnBatchCheck(ZadeVDevice* device, std::size_t rules) {
  Slot* s = SlotOf(device);
  if (s == nullptr || rules == 0) return;
  EventSink::Line(events_, "threshold_batch")
      .Text("device", s->name)
      .Int("rules", static_cast<long long>(rules))
      .Emit();
}

void ZadeController::OnAOReport(ZadeVDevice* device, const std::string& signal_id, float value) {
  Slot* s = SlotOf(device);
  if (s == nullptr) return;
  ++s->totals.reports;
  EventSink::Line(events_, "ao_report")
      .Text("device", s->name)
      .Text("signalId", signal_id)
      .Real("value", value)
      .Emit();
}

int ZadeController::OnHistory(ZadeVDevice* device, const unsigned char* data, unsigned int length) {
  Slot* s = SlotOf(device);
  if (s == nullptr) return -1;
  // Rounds mostly fall in the second of the round before.
  const boost::posix_time::ptime& t = device->update_time_;
  if (t.is_special() || t != history_time_) {
    history_time_text_ = TimeText(t);
    history_time_ = t;
  }
  std::string error;
  if (!history_.Add(s->name, device->DataId(), s->data_type, history_time_text_, data, length, &error)) {
    Fail(*s, "history " + history_.path() + ": " + error);
    return -1;
  }
  ++s->totals.history_rows;
  return 0;
}

void ZadeController::OnControl(ZadeVDevice* device, int code, const void* in, int in_len, int result) {
  Slot* s = SlotOf(device);
  if (s == nullptr || quiet_control_) return;
  Json::Value event;
  event["device"] = s->name;
  event["code"] = code;
  event["input"] = in != nullptr && in_len > 0 ? Hex(static_cast<const unsigned char*>(in), static_cast<unsigned>(in_len)) : "";
  event["result"] = result;
  events_.Emit("control", event);
}
