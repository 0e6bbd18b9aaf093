#include "recording_host.h"

#include "zade_base.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstdio>

namespace rec {

std::vector<Call>& log() {
  static std::vector<Call> calls;
  return calls;
}

Script& script() {
  static Script s;
  return s;
}

void reset() {
  log().clear();
  script() = Script();
}

std::vector<std::string> names() {
  std::vector<std::string> out;
  for (const Call& c : log()) out.push_back(c.fn);
  return out;
}

std::vector<Call> calls(const std::string& fn) {
  std::vector<Call> out;
  for (const Call& c : log())
    if (c.fn == fn) out.push_back(c);
  return out;
}

ttime to_ttime(const boost::posix_time::ptime& t) {
  return ttime_of(t);
}

namespace {

std::string ptr(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

Call& record(const void* device, std::string fn, std::vector<std::string> args = {}) {
  Call c;
  c.fn = std::move(fn);
  c.device = device;
  c.args = std::move(args);
  log().push_back(std::move(c));
  return log().back();
}

std::vector<unsigned char> bytes_of(const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  return p == nullptr ? std::vector<unsigned char>() : std::vector<unsigned char>(p, p + length);
}

}  // namespace
}  // namespace rec

using rec::record;
using std::to_string;

ttime get_ttime(boost::posix_time::ptime t) {
  record(nullptr, "get_ttime", {boost::posix_time::to_simple_string(t)});
  return rec::script().stamp ? *rec::script().stamp : rec::to_ttime(t);
}

bool ZadeVDevice::LoadFromCache(const unsigned char*, int length) {
  record(this, "ZadeVDevice::LoadFromCache", {to_string(length)});
  return false;
}

int ZadeVDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap, int& out_len) {
  record(this, "ZadeVDevice::DeviceIoControl",
         {to_string(code), rec::ptr(in), to_string(in_len), rec::ptr(out), to_string(out_cap), rec::ptr(&out_len)})
      .bytes = rec::bytes_of(out, out_cap > 0 ? static_cast<std::size_t>(out_cap) : 0);
  return rec::script().base_ioctl_result;
}

void ZadeVDevice::RoundDone() { record(this, "ZadeVDevice::RoundDone"); }
void ZadeVDevice::Reset() { record(this, "ZadeVDevice::Reset"); }

bool ZadeVDevice::InitV(ZadeController* controller, unsigned int data_id) {
  record(this, "InitV", {to_string(data_id)});
  controller_ = controller;
  data_id_ = data_id;
  return true;
}

bool ZadeVDevice::Init() {
  record(this, "Init");
  return true;
}

bool ZadeVDevice::InitSetting(const Json::Value&) {
  record(this, "ZadeVDevice::InitSetting");
  return rec::script().init_setting_result;
}

bool ZadeVDevice::IsSupportDevice(const std::string& device_type) const { return device_type == device_type_; }

int ZadeVDevice::SendSP(int data_type, const unsigned char* data, unsigned int length, bool delayed) {
  record(this, "SendSP", {to_string(data_type), to_string(length), delayed ? "true" : "false"}).bytes =
      rec::bytes_of(data, length);
  return 0;
}

int ZadeVDevice::SendDelayData(int data_type, const unsigned char* data, unsigned int length) {
  record(this, "SendDelayData", {to_string(data_type), to_string(length)}).bytes = rec::bytes_of(data, length);
  return 0;
}

int ZadeVDevice::SendDoData(int channel, int value) {
  record(this, "SendDoData", {to_string(channel), to_string(value)});
  return 0;
}

int ZadeVDevice::ReadDi(int channel) {
  record(this, "ReadDi", {to_string(channel)});
  return 0;
}

float ZadeVDevice::ReadAi(int channel) {
  record(this, "ReadAi", {to_string(channel)});
  return 0.0f;
}

float ZadeVDevice::Get_SP_Value(const std::string& name) {
  record(this, "Get_SP_Value", {name});
  return 0.0f;
}

void ZadeVDevice::CheckThreshold(const std::string& id, const std::string& name, const float& value, int kind) {
  record(this, "CheckThreshold", {id, name, to_string(kind)}).value = value;
}

bool ZadeVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  record(this, "DoBatchCheckThreshold", {to_string(rules.size())});
  return rec::script().batch_result;
}

void ZadeVDevice::CheckAOReport(const std::string& signal_id, float value) {
  record(this, "CheckAOReport", {signal_id}).value = value;
}

int ZadeVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  record(this, "SaveDeviceHistory", {to_string(length)}).bytes = rec::bytes_of(data, length);
  return 0;
}

void ZadeSPDevice::Reset() { record(this, "ZadeSPDevice::Reset"); }

int ZadeSPDevice::RefreshStatus() {
  record(this, "ZadeSPDevice::RefreshStatus");
  return rec::script().refresh_result;
}

int ZadeSPDevice::process() {
  record(this, "ZadeSPDevice::process");
  return 0;
}

bool ZadeSPDevice::IsProcessing() const { return false; }
bool ZadeSPDevice::IsStalled() const { return false; }

int ZadeSPDevice::SendData(const unsigned char* data, unsigned int length) {
  record(this, "SendData", {to_string(length)}).bytes = rec::bytes_of(data, length);
  return 0;
}

int ZadeSPDevice::SendParityData(const unsigned char* data, unsigned int length) {
  record(this, "SendParityData", {to_string(length)}).bytes = rec::bytes_of(data, length);
  return 0;
}

bool ZadeSPDevice::OpenPort() {
  record(this, "OpenPort");
  return rec::script().open_port_result;
}

void ZadeSPDevice::ClosePort() { record(this, "ClosePort"); }

bool SPModbus::InitSetting(const Json::Value&) {
  record(this, "SPModbus::InitSetting");
  return rec::script().init_setting_result;
}

int SPModbus::process() {
  record(this, "SPModbus::process");
  return 0;
}

int SPModbus::modbus_read_registers(int address, int count) {
  record(this, "modbus_read_registers", {to_string(address), to_string(count)});
  return rec::script().modbus_result;
}

int SPModbus::modbus_write_register(int address, int value) {
  record(this, "modbus_write_register", {to_string(address), to_string(value)});
  return rec::script().modbus_result;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
  record(this, "modbus_write_registers", {to_string(address), to_string(count)}).bytes =
      rec::bytes_of(values, count > 0 ? static_cast<std::size_t>(count) * sizeof(unsigned short) : 0);
  return rec::script().modbus_result;
}
