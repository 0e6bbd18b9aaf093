#include "sp_port.h"

#include <modbus/modbus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "host_config.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};

// Errors after which the line itself is gone (a pseudo-terminal whose far end closed, a USB adapter
// pulled, a gateway that dropped the connection), as opposed to a device that did not answer.
bool LineLost(int error) {
  switch (error) {
    case EIO:
    case EBADF:
    case ENXIO:
    case ENODEV:
    case EPIPE:
    case ECONNRESET:
    case ECONNREFUSED:
    case ECONNABORTED:
    case ENOTCONN:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ESHUTDOWN:
      return true;
    default:
      return false;
  }
}

std::string Range(const char* what, int address, int count) {
  if (count == 1) return std::string(what) + " of register " + std::to_string(address);
  return std::string(what) + " of registers " + std::to_string(address) + "-" + std::to_string(address + count - 1);
}

}  // namespace

std::string LineSettings::name() const { return tcp() ? host + ":" + service : path; }

std::string ModbusRequest::Describe() const {
  return Range(kind == Kind::kReadRegisters ? "read" : "write", address, count);
}

SPPort::SPPort(LineSettings settings) : settings_(std::move(settings)) {
  if (settings_.tcp()) {
    ctx_ = modbus_new_tcp_pi(settings_.host.c_str(), settings_.service.c_str());
  } else {
    ctx_ = modbus_new_rtu(settings_.path.c_str(), settings_.baud, settings_.parity, settings_.data_bits,
                          settings_.stop_bits);
  }
  if (ctx_ == nullptr) throw HostError("cannot set up line " + name() + ": " + modbus_strerror(errno));
}

SPPort::~SPPort() {
  Close();
  modbus_free(ctx_);
}

bool SPPort::Open(std::string* error) {
  if (open_) return true;
  if (modbus_connect(ctx_) != 0) {
    const std::string why = modbus_strerror(errno);
    *error = (settings_.tcp() ? "cannot connect to " : "cannot open serial port ") + name() + ": " + why;
    backoff_ = backoff_.count() == 0 ? kFirstBackoff
                                     : std::min(backoff_ * 2, std::chrono::milliseconds(settings_.backoff_max_ms));
    next_attempt_ = Clock::now() + backoff_;
    return false;
  }
  open_ = true;
  backoff_ = std::chrono::milliseconds(0);
  lost_because_.clear();
  return true;
}

void SPPort::Close() {
  if (!open_) return;
  modbus_close(ctx_);
  open_ = false;
}

bool SPPort::IsWaitingToReopen() const { return !open_ && Clock::now() < next_attempt_; }

ModbusReply SPPort::Fail(const std::string& what) {
  ModbusReply reply;
  reply.error = what;
  return reply;
}

void SPPort::WaitForGap() const {
  const auto ready = last_end_ + std::chrono::milliseconds(settings_.gap_ms);
  if (Clock::now() < ready) std::this_thread::sleep_until(ready);
}

ModbusReply SPPort::Transact(int slave, int timeout_ms, const ModbusRequest& request) {
  if (!open_) {
    if (IsWaitingToReopen()) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - Clock::now());
      return Fail("line " + name() + " is down (" + lost_because_ + "); next attempt in " +
                  std::to_string(wait.count()) + " ms");
    }
    std::string error;
    if (!Open(&error)) {
      lost_because_ = error;
      return Fail(error);
    }
  }
  WaitForGap();
  modbus_set_slave(ctx_, slave);
  modbus_set_response_timeout(ctx_, static_cast<std::uint32_t>(timeout_ms / 1000),
                              static_cast<std::uint32_t>(timeout_ms % 1000) * 1000u);
  // A late reply to an earlier request must not pass for this one's.
  modbus_flush(ctx_);

  ModbusReply reply;
  int os_error = 0;
  if (request.kind == ModbusRequest::Kind::kReadRegisters) {
    reply.words.assign(static_cast<std::size_t>(request.count), 0);
    const int rc = modbus_read_registers(ctx_, request.address, request.count, reply.words.data());
    if (rc == request.count) {
      reply.ok = true;
    } else {
      os_error = rc < 0 ? errno : 0;
      reply.words.clear();
      reply.error = rc < 0 ? modbus_strerror(os_error) : "short reply";
    }
  } else {
    reply = Write(slave, request, &os_error);
  }
  last_end_ = Clock::now();
  if (!reply.ok && LineLost(os_error)) {
    // Reopened on the next exchange; from then on failed attempts back off.
    Close();
    lost_because_ = reply.error;
    next_attempt_ = Clock::now();
    reply.error += "; line " + name() + " closed, to be reopened";
  }
  return reply;
}

// Writes go out raw so that the echo can be checked: libmodbus does not compare the echo of function 06
// and turns a wrong quantity in the echo of function 16 into an error of its own.
ModbusReply SPPort::Write(int slave, const ModbusRequest& request, int* os_error) {
  const bool one = request.kind == ModbusRequest::Kind::kWriteRegister;
  const int function = one ? MODBUS_FC_WRITE_SINGLE_REGISTER : MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
  std::uint8_t raw[MODBUS_MAX_PDU_LENGTH + 1];
  int length = 0;
  raw[length++] = static_cast<std::uint8_t>(slave);
  raw[length++] = static_cast<std::uint8_t>(function);
  raw[length++] = static_cast<std::uint8_t>(request.address >> 8);
  raw[length++] = static_cast<std::uint8_t>(request.address & 0xFF);
  if (one) {
    raw[length++] = static_cast<std::uint8_t>(request.values[0] >> 8);
    raw[length++] = static_cast<std::uint8_t>(request.values[0] & 0xFF);
  } else {
    raw[length++] = static_cast<std::uint8_t>(request.count >> 8);
    raw[length++] = static_cast<std::uint8_t>(request.count & 0xFF);
    raw[length++] = static_cast<std::uint8_t>(request.count * 2);
    for (int i = 0; i < request.count; ++i) {
      raw[length++] = static_cast<std::uint8_t>(request.values[static_cast<std::size_t>(i)] >> 8);
      raw[length++] = static_cast<std::uint8_t>(request.values[static_cast<std::size_t>(i)] & 0xFF);
    }
  }
  if (modbus_send_raw_request(ctx_, raw, length) < 0) {
    *os_error = errno;
    return Fail(modbus_strerror(*os_error));
  }
  std::uint8_t rsp[MODBUS_MAX_ADU_LENGTH];
  const int rc = modbus_receive_confirmation(ctx_, rsp);
  if (rc < 0) {
    *os_error = errno;
    return Fail(modbus_strerror(*os_error));
  }
  // The RTU backend drops a frame from another slave and reports nothing else.
  if (rc == 0) return Fail("reply from another slave");
  const int offset = modbus_get_header_length(ctx_);
  if (settings_.tcp() && (rsp[2] != 0 || rsp[3] != 0)) return Fail("reply with a foreign protocol id");
  if (rc < offset + 2) return Fail("short reply");
  if (rsp[offset - 1] != slave) return Fail("reply from slave " + std::to_string(rsp[offset - 1]));
  if (rsp[offset] == (function | 0x80)) return Fail(modbus_strerror(MODBUS_ENOBASE + rsp[offset + 1]));
  if (rsp[offset] != function) return Fail("reply with function " + std::to_string(rsp[offset]));
  if (rc < offset + 5) return Fail("short reply");
  const int echoed_address = rsp[offset + 1] << 8 | rsp[offset + 2];
  if (echoed_address != request.address) {
    return Fail("echo names register " + std::to_string(echoed_address) + ", not " + std::to_string(request.address));
  }
  const std::uint16_t word = static_cast<std::uint16_t>(rsp[offset + 3] << 8 | rsp[offset + 4]);
  ModbusReply reply;
  reply.ok = true;
  if (one) {
    reply.words = {word};
  } else {
    reply.words = {static_cast<std::uint16_t>(function), word};
  }
  return reply;
}

int SPPort::Send(const unsigned char* data, unsigned int length, bool framed) {
  std::string error;
  if (data == nullptr || length == 0 || !Open(&error)) return -1;
  WaitForGap();
  int rc = -1;
  if (framed) {
    rc = length <= MODBUS_MAX_PDU_LENGTH + 1 ? modbus_send_raw_request(ctx_, data, static_cast<int>(length)) : -1;
  } else {
    const ssize_t n = write(modbus_get_socket(ctx_), data, length);
    rc = n < 0 ? -1 : static_cast<int>(n);
  }
  last_end_ = Clock::now();
  return rc;
}
