#include "pty_slave.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

PtySlave::PtySlave() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  char name[128];
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    if (master_ >= 0) ::close(master_);
    throw std::runtime_error("no pseudo-terminal");
  }
  slave_path_ = name;
  // The context only frames: its socket is the master side, so it never opens or configures a line.
  ctx_ = modbus_new_rtu(name, 115200, 'N', 8, 1);
  registers_ = modbus_mapping_new(0, 0, 5, 0);
  if (ctx_ == nullptr || registers_ == nullptr) {
    modbus_mapping_free(registers_);
    if (ctx_ != nullptr) modbus_free(ctx_);
    ::close(master_);
    throw std::runtime_error("libmodbus refused the slave");
  }
  const std::uint16_t readings[5] = {523, 251, 35, 48, 21};
  for (int i = 0; i < 5; ++i) registers_->tab_registers[i] = readings[i];
  modbus_set_slave(ctx_, 1);
  modbus_set_socket(ctx_, master_);
}

void PtySlave::Start() { thread_ = std::thread([this] { Serve(); }); }

void PtySlave::Serve() {
  std::uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
  for (;;) {
    const int length = modbus_receive(ctx_, request);
    if (length > 0) {
      modbus_reply(ctx_, request, length, registers_);
    } else if (length < 0) {
      return;  // the client hung up
    }
  }
}

PtySlave::~PtySlave() {
  if (thread_.joinable()) thread_.join();
  modbus_mapping_free(registers_);
  modbus_free(ctx_);  // not modbus_close: the master side is ours, and it has no line settings to restore
  ::close(master_);
}
