#include "sp_port.h"

#include <modbus/modbus.h>
#include <poll.h>
#include <sys/socket.h>
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
    const std::chrono::milliseconds longest(settings_.backoff_max_ms);
    backoff_ = std::min(backoff_.count() == 0 ? kFirstBackoff : backoff_ * 2, longest);
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
  DropLateReply();
  modbus_flush(ctx_);

  int os_error = 0;
  ModbusReply reply = request.kind == ModbusRequest::Kind::kReadRegisters ? Read(slave, request, &os_error)
                                                                           : Write(slave, request, &os_error);
  last_end_ = Clock::now();
  // A serial line has no transaction ids: a reply that comes after its time-out would be taken for the
  // next request's. The line gets one more time-out to deliver it before the next request goes out.
  if (!reply.ok && os_error == ETIMEDOUT && !settings_.tcp()) {
    late_until_ = last_end_ + std::chrono::milliseconds(timeout_ms);
  }
  if (!reply.ok && LineLost(os_error)) {
    // Reopened on the next exchange; from then on failed attempts back off.
    Close();
    lost_because_ = reply.error;
    next_attempt_ = Clock::now();
    reply.error += "; line " + name() + " closed, to be reopened";
  }
  return reply;
}

void SPPort::DropLateReply() {
  const int fd = modbus_get_socket(ctx_);
  while (fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(late_until_ - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
    if (rc > 0) modbus_flush(ctx_);
  }
  late_until_ = Clock::time_point{};
}

namespace {

bool SendAll(int fd, const std::uint8_t* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = send(fd, bytes + done, length - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::uint8_t High(int word) { return static_cast<std::uint8_t>(word >> 8 & 0xFF); }
std::uint8_t Low(int word) { return static_cast<std::uint8_t>(word & 0xFF); }

}  // namespace

// Requests go out raw and replies are checked here: libmodbus does not compare the unit id of a TCP
// reply, gives every raw TCP request transaction id 0, does not compare the echo of function 06 and turns
// a wrong quantity in the echo of function 16 into an error of its own.
bool SPPort::Exchange(int slave, const std::uint8_t* request, int length, Frame* reply, std::string* error,
                      int* os_error) {
  static_assert(sizeof reply->bytes == MODBUS_MAX_ADU_LENGTH, "room for a reply");
  const auto fail = [&](const std::string& what, int os) {
    *error = what;
    *os_error = os;
    return false;
  };
  const bool tcp = settings_.tcp();
  const int function = request[0];
  const std::uint16_t transaction = ++transaction_;
  std::uint8_t adu[MODBUS_MAX_ADU_LENGTH];
  int size = 0;
  if (tcp) {
    const std::uint8_t header[] = {High(transaction), Low(transaction), 0, 0, High(length + 1), Low(length + 1)};
    std::copy(std::begin(header), std::end(header), adu);
    size = sizeof header;
  }
  adu[size++] = static_cast<std::uint8_t>(slave);
  std::copy_n(request, length, adu + size);
  size += length;
  const bool sent = tcp ? SendAll(modbus_get_socket(ctx_), adu, static_cast<std::size_t>(size))
                        : modbus_send_raw_request(ctx_, adu, size) >= 0;
  if (!sent) return fail(modbus_strerror(errno), errno);

  const int offset = modbus_get_header_length(ctx_);
  const int trailer = tcp ? 0 : 2;  // the RTU check sum
  std::uint8_t* rsp = reply->bytes;
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  modbus_get_response_timeout(ctx_, &seconds, &microseconds);
  const auto until = Clock::now() + std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds);
  int rc = 0;
  for (;;) {
    if (Clock::now() > until) return fail(modbus_strerror(ETIMEDOUT), ETIMEDOUT);
    rc = modbus_receive_confirmation(ctx_, rsp);
    if (rc < 0) return fail(modbus_strerror(errno), errno);
    // The RTU backend drops a frame from another slave and reports nothing else.
    if (rc == 0) return fail("reply from another slave", 0);
    if (rc < offset + 2 + trailer) return fail("short reply", 0);
    if (!tcp) break;
    if (rsp[2] != 0 || rsp[3] != 0) return fail("reply with a foreign protocol id", 0);
    // An earlier request's reply, come after its time-out; this one's follows it.
    if ((rsp[0] << 8 | rsp[1]) == transaction) break;
  }
  if (rsp[offset - 1] != slave) return fail("reply from slave " + std::to_string(rsp[offset - 1]), 0);
  if (rsp[offset] == (function | 0x80)) return fail(modbus_strerror(MODBUS_ENOBASE + rsp[offset + 1]), 0);
  if (rsp[offset] != function) return fail("reply with function " + std::to_string(rsp[offset]), 0);
  reply->begin = offset;
  reply->end = rc - trailer;
  return true;
}

ModbusReply SPPort::Read(int slave, const ModbusRequest& request, int* os_error) {
  const std::uint8_t pdu[] = {MODBUS_FC_READ_HOLDING_REGISTERS, High(request.address), Low(request.address),
                              High(request.count), Low(request.count)};
  Frame rsp;
  std::string error;
  if (!Exchange(slave, pdu, sizeof pdu, &rsp, &error, os_error)) return Fail(error);
  if (rsp[1] != request.count * 2 || rsp.size() < 2 + request.count * 2) {
    return Fail("reply of " + std::to_string(rsp[1]) + " bytes to a read of " + std::to_string(request.count) +
                " registers");
  }
  ModbusReply reply;
  reply.ok = true;
  reply.words.resize(static_cast<std::size_t>(request.count));
  for (int i = 0; i < request.count; ++i) {
    reply.words[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(rsp[2 + 2 * i] << 8 | rsp[3 + 2 * i]);
  }
  return reply;
}

ModbusReply SPPort::Write(int slave, const ModbusRequest& request, int* os_error) {
  const bool one = request.kind == ModbusRequest::Kind::kWriteRegister;
  const int function = one ? MODBUS_FC_WRITE_SINGLE_REGISTER : MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
  std::uint8_t pdu[MODBUS_MAX_PDU_LENGTH];
  int length = 0;
  pdu[length++] = static_cast<std::uint8_t>(function);
  pdu[length++] = High(request.address);
  pdu[length++] = Low(request.address);
  if (one) {
    pdu[length++] = High(request.values[0]);
    pdu[length++] = Low(request.values[0]);
  } else {
    pdu[length++] = High(request.count);
    pdu[length++] = Low(request.count);
    pdu[length++] = static_cast<std::uint8_t>(request.count * 2);
    for (int i = 0; i < request.count; ++i) {
      pdu[length++] = High(request.values[static_cast<std::size_t>(i)]);
      pdu[length++] = Low(request.values[static_cast<std::size_t>(i)]);
    }
  }
  Frame rsp;
  std::string error;
  if (!Exchange(slave, pdu, length, &rsp, &error, os_error)) return Fail(error);
  if (rsp.size() < 5) return Fail("short reply");
  const int echoed_address = rsp[1] << 8 | rsp[2];
  if (echoed_address != request.address) {
    return Fail("echo names register " + std::to_string(echoed_address) + ", not " + std::to_string(request.address));
  }
  const std::uint16_t word = static_cast<std::uint16_t>(rsp[3] << 8 | rsp[4]);
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
    // A gateway that has gone must not end the process with SIGPIPE.
    const ssize_t n = settings_.tcp() ? send(modbus_get_socket(ctx_), data, length, MSG_NOSIGNAL)
                                      : write(modbus_get_socket(ctx_), data, length);
    rc = n < 0 ? -1 : static_cast<int>(n);
  }
  last_end_ = Clock::now();
  return rc;
}
