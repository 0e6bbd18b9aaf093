// The framework with every host function doing nothing: benchmarks linked with it measure the plug-in's
// own work. Answers are the neutral ones (success, no rules raised, nothing read).
#include "framework/framework.h"

// A fixed, realistic stamp: the readings' update-time text then has its everyday width.
ttime get_ttime(boost::posix_time::ptime) { return ttime{2024, 6, 15, 12, 30, 45}; }

bool ZadeVDevice::LoadFromCache(const unsigned char*, int) { return false; }
int ZadeVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) { return 0; }
void ZadeVDevice::RoundDone() {}
void ZadeVDevice::Reset() {}
bool ZadeVDevice::InitV(ZadeController* controller, unsigned int data_id) {
  controller_ = controller;
  data_id_ = data_id;
  return true;
}
bool ZadeVDevice::Init() { return true; }
bool ZadeVDevice::InitSetting(const Json::Value&) { return true; }
bool ZadeVDevice::IsSupportDevice(const std::string& device_type) const { return device_type == device_type_; }
int ZadeVDevice::SendSP(int, const unsigned char*, unsigned int, bool) { return 0; }
int ZadeVDevice::SendDelayData(int, const unsigned char*, unsigned int) { return 0; }
int ZadeVDevice::SendDoData(int, int) { return 0; }
int ZadeVDevice::ReadDi(int) { return 0; }
float ZadeVDevice::ReadAi(int) { return 0.0f; }
float ZadeVDevice::Get_SP_Value(const std::string&) { return 0.0f; }
void ZadeVDevice::CheckThreshold(const std::string&, const std::string&, const float&, int) {}
bool ZadeVDevice::DoBatchCheckThreshold(const std::vector<rule_value>&) { return false; }
void ZadeVDevice::CheckAOReport(const std::string&, float) {}
int ZadeVDevice::SaveDeviceHistory(const unsigned char*, unsigned int) { return 0; }

void ZadeSPDevice::Reset() {}
int ZadeSPDevice::RefreshStatus() { return 0; }
int ZadeSPDevice::process() { return 0; }
bool ZadeSPDevice::IsProcessing() const { return false; }
bool ZadeSPDevice::IsStalled() const { return false; }
int ZadeSPDevice::SendData(const unsigned char*, unsigned int) { return 0; }
int ZadeSPDevice::SendParityData(const unsigned char*, unsigned int) { return 0; }
bool ZadeSPDevice::OpenPort() { return true; }
void ZadeSPDevice::ClosePort() {}

bool SPModbus::InitSetting(const Json::Value&) { return true; }
int SPModbus::process() { return 0; }
int SPModbus::modbus_read_registers(int, int) { return 0; }
int SPModbus::modbus_write_register(int, int) { return 0; }
int SPModbus::modbus_write_registers(int, int, const unsigned short*) { return 0; }
