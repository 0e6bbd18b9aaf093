// The framework's functions in the stand-in host: Modbus over the device's line, records, checks, reports
// and history through the device's controller. Construction is in zade_base.cpp.
#include <algorithm>
#include <cmath>
#include <limits>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "framework/framework.h"
#include "zade_base.h"
#include "zade_controller.h"

ttime get_ttime(boost::posix_time::ptime t) {
  return ttime_of(t);
}

// ---- ZadeVDevice

// The record type is the device's; a plain virtual device has none to restore.
bool ZadeVDevice::LoadFromCache(const unsigned char*, int) { return false; }

// Codes a device passes on are shown; the stand-in host acts on none of them.
int ZadeVDevice::DeviceIoControl(int code, const void* in, int in_len, void*, int, int&) {
  if (controller_ != nullptr) controller_->OnControl(this, code, in, in_len, 0);
  return 0;
}

void ZadeVDevice::RoundDone() {
  data_status_ = true;
  update_time_ = boost::posix_time::second_clock::local_time();
}

void ZadeVDevice::Reset() {}

bool ZadeVDevice::InitV(ZadeController* controller, unsigned int data_id) {
  controller_ = controller;
  data_id_ = data_id;
  return true;
}

bool ZadeVDevice::Init() { return true; }

// "useControllerDb" (bool) is the one key the host's part of a device configuration reads.
bool ZadeVDevice::InitSetting(const Json::Value& config) {
  if (!config.isObject()) return config.isNull();
  const Json::Value& db = config["useControllerDb"];
  if (db.isBool()) use_controller_db_ = db.asBool();
  return db.isNull() || db.isBool();
}

bool ZadeVDevice::IsSupportDevice(const std::string& device_type) const { return device_type == device_type_; }

int ZadeVDevice::SendSP(int data_type, const unsigned char* data, unsigned int length, bool delayed) {
  if (controller_ == nullptr) return -1;
  controller_->OnRecord(this, data_type, data, length, delayed);
  return 0;
}

int ZadeVDevice::SendDelayData(int data_type, const unsigned char* data, unsigned int length) {
  return SendSP(data_type, data, length, true);
}

// The stand-in host has no digital or analog channels of its own.
int ZadeVDevice::SendDoData(int, int) { return -1; }
int ZadeVDevice::ReadDi(int) { return -1; }
float ZadeVDevice::ReadAi(int) { return std::numeric_limits<float>::quiet_NaN(); }
float ZadeVDevice::Get_SP_Value(const std::string&) { return std::numeric_limits<float>::quiet_NaN(); }

// Shown, not evaluated: the stand-in host holds no threshold rules, so none is gathered.
void ZadeVDevice::CheckThreshold(const std::string& id, const std::string& name, const float& value, int kind) {
  if (controller_ != nullptr) controller_->OnThresholdCheck(this, id, name, value, kind);
}

bool ZadeVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  if (controller_ != nullptr) controller_->OnBatchCheck(this, rules.size());
  return !rules.empty();
}

void ZadeVDevice::CheckAOReport(const std::string& signal_id, float value) {
  if (controller_ != nullptr) controller_->OnAOReport(this, signal_id, value);
}

int ZadeVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  if (controller_ == nullptr) return -1;
  return controller_->OnHistory(this, data, length);
}

// ---- ZadeSPDevice

// Nothing of the host's outlives an exchange: it is over when process() returns.
void ZadeSPDevice::Reset() { ZadeVDevice::Reset(); }

// 1 while the line is up (or may be reopened now), 0 while it waits to be reopened.
int ZadeSPDevice::RefreshStatus() { return port_ != nullptr && !port_->IsWaitingToReopen() ? 1 : 0; }

// A plain serial device has no requests of its own to exchange.
int ZadeSPDevice::process() { return 0; }

bool ZadeSPDevice::IsProcessing() const {
  if (controller_ == nullptr) return false;
  ZadeController::Slot* slot = controller_->SlotOf(this);
  return slot != nullptr && slot->pending.has_value();
}

bool ZadeSPDevice::IsStalled() const { return port_ != nullptr && port_->IsWaitingToReopen(); }

int ZadeSPDevice::SendData(const unsigned char* data, unsigned int length) {
  return port_ != nullptr ? port_->Send(data, length, false) : -1;
}

int ZadeSPDevice::SendParityData(const unsigned char* data, unsigned int length) {
  return port_ != nullptr ? port_->Send(data, length, true) : -1;
}

bool ZadeSPDevice::OpenPort() {
  std::string error;
  return port_ != nullptr && port_->Open(&error);
}

void ZadeSPDevice::ClosePort() {
  if (port_ != nullptr) port_->Close();
}

// ---- SPModbus

bool SPModbus::InitSetting(const Json::Value& config) { return ZadeVDevice::InitSetting(config); }

int SPModbus::process() {
  ZadeController::Slot* slot = controller_ != nullptr ? controller_->SlotOf(this) : nullptr;
  if (slot == nullptr || !slot->pending) return 0;
  const ModbusRequest request = *slot->pending;
  slot->pending.reset();
  ModbusReply reply;
  if (port_ == nullptr) {
    reply.error = "no line";
  } else {
    reply = port_->Transact(slot->slave, slot->timeout_ms, request);
  }
  if (!reply.ok) {
    controller_->Fail(*slot, request.Describe() + " failed: " + reply.error);
    on_error();
    return -1;
  }
  std::fill(std::begin(reg_buf_), std::end(reg_buf_), 0);
  const std::size_t words = std::min(reply.words.size(), static_cast<std::size_t>(kMaxReadRegisters));
  std::copy_n(reply.words.begin(), words, reg_buf_);
  process_payload(tab_, static_cast<unsigned int>(words));
  return 1;
}

namespace {

bool Fits(int address, int count, int limit) {
  return address >= 0 && count >= 1 && count <= limit && address + count <= 0x10000;
}

}  // namespace

int SPModbus::modbus_read_registers(int address, int count) {
  ZadeController::Slot* slot = controller_ != nullptr ? controller_->SlotOf(this) : nullptr;
  if (slot == nullptr || !Fits(address, count, kMaxReadRegisters)) return -1;
  ModbusRequest r;
  r.kind = ModbusRequest::Kind::kReadRegisters;
  r.address = address;
  r.count = count;
  slot->pending = r;
  return 0;
}

int SPModbus::modbus_write_register(int address, int value) {
  ZadeController::Slot* slot = controller_ != nullptr ? controller_->SlotOf(this) : nullptr;
  if (slot == nullptr || !Fits(address, 1, 1) || value < 0 || value > 0xFFFF) return -1;
  ModbusRequest r;
  r.kind = ModbusRequest::Kind::kWriteRegister;
  r.address = address;
  r.count = 1;
  r.values = {static_cast<std::uint16_t>(value)};
  slot->pending = r;
  return 0;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
  ZadeController::Slot* slot = controller_ != nullptr ? controller_->SlotOf(this) : nullptr;
  if (slot == nullptr || values == nullptr || !Fits(address, count, kMaxWriteRegisters)) return -1;
  ModbusRequest r;
  r.kind = ModbusRequest::Kind::kWriteRegisters;
  r.address = address;
  r.count = count;
  r.values.assign(values, values + count);
  slot->pending = r;
  return 0;
}
