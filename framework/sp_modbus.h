#pragma once

#include <cstdio>

#include "zade_spdevice.h"

// The host's Modbus master device. Requests are queued by the modbus_* calls; the host's process()
// performs the exchange, leaves the reply's words in reg_buf_ and calls process_payload (or on_error).
class ZADE_API SPModbus : public ZadeSPDevice {
  friend class ZadeController;

 public:
  // Request tags are plain ints so that a control code can serve as the tag of the request it issues.
  typedef int tab_type;

  // Protocol limits of one request (Modbus application protocol).
  static constexpr int kMaxReadRegisters = 125;
  static constexpr int kMaxWriteRegisters = 123;

  SPModbus();
  ~SPModbus() override;

  bool InitSetting(const Json::Value& config) override;
  int process() override;

  virtual int process_payload(tab_type tab, unsigned int length) = 0;
  virtual int on_error() {
    std::puts("SPModbus get error");
    return 0;
  }

  int modbus_read_registers(int address, int count);
  int modbus_write_register(int address, int value);
  int modbus_write_registers(int address, int count, const unsigned short* values);

 protected:
  tab_type tab_ = 0;
  unsigned char modbus_byte_ = 0;
  // Room for the longest read reply; write replies use the first two words.
  unsigned short reg_buf_[kMaxReadRegisters] = {};
};
