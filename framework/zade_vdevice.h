#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include "zade_api.h"

class ZadeController;
class ZadeVDevice;

// The host's threshold rule; devices only count, pass on and clear a list of these.
struct ZADE_API rule_value {
  std::string id;
  std::string name;
  float value = 0.0f;
  int level = 0;
};

// Root of the host's device interface: the first entries of every device's virtual table.
class ZADE_API VDeviceInterface {
 public:
  VDeviceInterface();
  // Never returns a value for this family of devices; float is the host's measurement type.
  virtual float Get_Value(unsigned int data_id, const std::string& name) const = 0;
  virtual bool LoadFromCache(const std::string& record) = 0;
  virtual bool LoadFromCache(const unsigned char* record, int length) = 0;
  virtual unsigned int DataId() const = 0;
  virtual const std::string& DeviceType() const = 0;
  virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap,
                              int& out_len) = 0;
  virtual void RoundDone() = 0;
  virtual bool UseControllerDb() = 0;
  virtual ~VDeviceInterface();
};

// The host's virtual device: identity, data hand-over, threshold checks and reports.
class ZADE_API ZadeVDevice : public VDeviceInterface {
  friend class ZadeController;

 public:
  struct ZADE_API BAOSetting {
    // Every field starts at zero: the host reads a setting made by map insertion before it is filled.
    BAOSetting()
        : abs_enabled(false), abs_band(0.0f), pct_enabled(false), pct_band(0.0f),
          period_enabled(false), period_minutes(0.0f), last_report_time(0), last_value(0.0f) {}
    bool abs_enabled;
    float abs_band;
    bool pct_enabled;
    float pct_band;
    bool period_enabled;
    float period_minutes;
    std::uint32_t last_report_time;
    float last_value;
  };

  ZadeVDevice();
  ~ZadeVDevice() override;

  // Interface defaults.
  float Get_Value(unsigned int, const std::string&) const override {
    throw std::out_of_range("数据未就绪");
  }
  bool LoadFromCache(const std::string& record) override {
    // A length beyond int can never be a record; -1 is refused like any wrong length.
    const int length = record.size() > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(record.size());
    return LoadFromCache(reinterpret_cast<const unsigned char*>(record.data()), length);
  }
  bool LoadFromCache(const unsigned char* record, int length) override;
  unsigned int DataId() const override { return data_id_; }
  const std::string& DeviceType() const override { return device_type_; }
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap, int& out_len) override;
  void RoundDone() override;
  bool UseControllerDb() override { return use_controller_db_; }

  virtual void Reset();
  virtual bool InitV(ZadeController* controller, unsigned int data_id);
  virtual bool Init();
  // bool: whether the host may drive the device with this configuration.
  virtual bool InitSetting(const Json::Value& config);
  virtual bool IsSupportDevice(const std::string& device_type) const;
  virtual std::shared_ptr<ZadeVDevice> GetChildVDevice(unsigned int) { return nullptr; }
  virtual std::vector<std::shared_ptr<ZadeVDevice>> GetAllChildVDevices() { return {}; }
  virtual int SendSP(int data_type, const unsigned char* data, unsigned int length, bool delayed);
  virtual int SendDelayData(int data_type, const unsigned char* data, unsigned int length);
  virtual int SendDoData(int channel, int value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual float Get_SP_Value(const std::string& name);

  void CheckThreshold(const std::string& id, const std::string& name, const float& value, int kind);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  void CheckAOReport(const std::string& signal_id, float value);
  int SaveDeviceHistory(const unsigned char* data, unsigned int length);

 protected:
  ZadeController* controller_ = nullptr;
  std::uint32_t data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
  std::map<std::string, BAOSetting> bao_settings_;
  std::uint16_t round_status_ = 0;
  boost::posix_time::ptime update_time_;
  bool data_status_ = false;
  std::vector<rule_value> rule_values_;
  bool threshold_flag_ = false;
  std::map<std::string, int> threshold_levels_;
  std::map<std::string, float> threshold_values_;
};
