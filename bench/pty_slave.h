#pragma once

#include <modbus.h>

#include <string>
#include <thread>

// A libmodbus RTU slave on the master side of a pseudo-terminal, serving five holding registers from
// address 0 on its own thread; a client opens slave_path() like a serial line. The slave stops when the
// last client closes the line.
class PtySlave {
 public:
  PtySlave();
  ~PtySlave();
  PtySlave(const PtySlave&) = delete;
  PtySlave& operator=(const PtySlave&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  // Starts serving; call once a client holds the line open, or the slave sees a hang-up at once.
  void Start();

 private:
  void Serve();

  int master_ = -1;
  std::string slave_path_;
  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* registers_ = nullptr;
  std::thread thread_;
};
