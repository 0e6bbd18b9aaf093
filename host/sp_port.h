#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

typedef struct _modbus modbus_t;

// How one line is reached: a serial device (RTU) or a TCP peer such as a serial-to-Ethernet gateway.
struct LineSettings {
  std::string path;  // serial device; empty for TCP
  std::string host;  // TCP host name or address
  std::string service;
  int baud = 9600;
  char parity = 'N';
  int data_bits = 8;
  int stop_bits = 1;
  int gap_ms = 0;  // quiet time between the end of one exchange and the next request
  int backoff_max_ms = 8000;

  bool tcp() const { return path.empty(); }
  // The serial path, or "host:port".
  std::string name() const;
};

struct ModbusRequest {
  enum class Kind { kReadRegisters, kWriteRegister, kWriteRegisters };
  Kind kind = Kind::kReadRegisters;
  int address = 0;
  int count = 0;                      // registers read or written
  std::vector<std::uint16_t> values;  // what is written

  // "read of registers 0-4", "write of register 5", "write of registers 5-6".
  std::string Describe() const;
};

// The words a good exchange leaves for the device: the registers read; after function 06 the value the
// device echoed; after function 16 the function code and the quantity it echoed.
struct ModbusReply {
  bool ok = false;
  std::string error;
  std::vector<std::uint16_t> words;
};

// The host's line a device is attached to. One transaction at a time; a lost line is closed and reopened
// on a later exchange, waiting longer after each failed attempt, up to backoff_max_ms.
class SPPort {
 public:
  explicit SPPort(LineSettings settings);
  ~SPPort();
  SPPort(const SPPort&) = delete;
  SPPort& operator=(const SPPort&) = delete;

  const LineSettings& settings() const { return settings_; }
  std::string name() const { return settings_.name(); }

  // Opens the line if it is closed, now, back-off or not. False, with the reason, when it cannot.
  bool Open(std::string* error);
  void Close();
  bool IsOpen() const { return open_; }
  // A lost line whose next attempt to reopen is still ahead.
  bool IsWaitingToReopen() const;

  ModbusReply Transact(int slave, int timeout_ms, const ModbusRequest& request);
  // Bytes onto the line as they are, or framed (the serial check sum, the TCP header) when framed is true.
  int Send(const unsigned char* data, unsigned int length, bool framed);

 private:
  using Clock = std::chrono::steady_clock;
  ModbusReply Fail(const std::string& what);
  ModbusReply Read(int slave, const ModbusRequest& request, int* os_error);
  ModbusReply Write(int slave, const ModbusRequest& request, int* os_error);
  // A reply as received, its PDU (function code first) from begin to end.
  struct Frame {
    std::uint8_t bytes[260];  // MODBUS_MAX_ADU_LENGTH
    int begin = 0;
    int end = 0;
    int size() const { return end - begin; }
    std::uint8_t operator[](int i) const { return bytes[begin + i]; }
  };
  // Sends the request's PDU to slave and receives that slave's reply to it, other than an exception.
  // False, with the reason (and errno, when the system gave one), when no such reply came.
  bool Exchange(int slave, const std::uint8_t* request, int length, Frame* reply, std::string* error,
                int* os_error);
  void WaitForGap() const;
  void DropLateReply();

  LineSettings settings_;
  modbus_t* ctx_ = nullptr;
  bool open_ = false;
  Clock::time_point next_attempt_{};
  std::chrono::milliseconds backoff_{0};
  Clock::time_point last_end_{};
  Clock::time_point late_until_{};  // after a time-out on a serial line: how long a late reply may come
  std::uint16_t transaction_ = 0;   // of the last TCP request
  std::string lost_because_;
};
