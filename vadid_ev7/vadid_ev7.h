#pragma once

#include <string>

#include "unidata/uni_data_device.h"
#include "vadid_ev7_data.h"

class VADID_EV7 : public UniDataDevice<VADID_EV7_Data_t, SPModbus, 5156> {
 public:
  // Request tags; the write tags are the control codes that issue them.
  static constexpr tab_type kPollTag = 11;
  static constexpr tab_type kWriteOneTag = 206;
  static constexpr tab_type kWriteManyTag = 210;
  // The sensor's five readings sit in consecutive registers from address 0.
  static constexpr int kFirstRegister = 0;
  static constexpr int kRegisterCount = 5;
  // Signal requests come from outside the process: their JSON nests no deeper than this.
  static constexpr int kMaxRequestDepth = 64;

  VADID_EV7();
  ~VADID_EV7() override;

  float Get_Value(unsigned int data_id, const std::string& name) const override;
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap, int& out_len) override;
  bool InitSetting(const Json::Value& config) override;
  int RefreshStatus() override;
  int process_payload(tab_type tab, unsigned int length) override;
  void RunCheckThreshold() override;
  void GenJsonData() override;

 protected:
  void BeginRequest(int code);
  int WriteRegister(const void* in, int in_len);
  int WriteRegisters(const void* in, int in_len);
  int ReadingsText(void* out, int out_cap, int& out_len);
  int ReadingsObject(void* out, int out_cap, int& out_len);
  static bool IsSignalRequest(const void* in, int in_len);

  int ctrl_result_ = -1;
  int ctrl_expect_ = -1;
};
