// vu7-sim: a Modbus slave with the VU7 sensor's register map, on a pseudo-terminal or on TCP, with faults
// at fixed triggers. Built on libmodbus alone.
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "vu7_sim_protocol.h"

namespace {

static_assert(vu7sim::kBusyException == MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY, "exception codes");
static_assert(vu7sim::kIllegalAddressException == MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS, "exception codes");

const char kUsage[] =
    "usage: vu7-sim (--pty LINK | --tcp HOST:PORT) [--slave N[,N...]] [--values H,T,P25,P10,P1]\n"
    "               [--seed N] [--no-reply-every N] [--exception-every N] [--garble-every N]\n"
    "               [--wrong-slave-every N] [--slow-every N] [--slow-ms MS] [--wrong-echo] [--verbose]\n"
    "\n"
    "A Modbus slave with the VU7 sensor's register map: registers 0 to 4 hold humidity and temperature\n"
    "in tenths, PM2.5, PM10 and PM1.0 (holding and input registers alike); holding registers 5 to 15\n"
    "take writes. Without --values the readings drift from a seeded start, one step per read.\n"
    "\n"
    "  --pty LINK         create a pseudo-terminal and make LINK a symbolic link to it\n"
    "  --tcp HOST:PORT    listen on TCP instead (port 0 picks a free port; the line printed names it)\n"
    "  --slave N,...      the slave ids served (default 1; several only on TCP)\n"
    "  --values ...       fixed register values instead of drifting readings\n"
    "  --seed N           start of the drift (default 1)\n"
    "  --no-reply-every N, --exception-every N, --garble-every N, --wrong-slave-every N,\n"
    "  --slow-every N     faults on every Nth request: no reply, exception 6, a broken check sum, the reply\n"
    "                     from the next slave id, a delayed reply; --slow-ms MS sets the delay (default 1000)\n"
    "  --wrong-echo       echo every write wrongly\n"
    "  --verbose          log each request on standard output\n"
    "\n"
    "Serves until SIGINT or SIGTERM.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string pty_link;
  std::string tcp_host;
  std::string tcp_port;
  std::set<int> slaves;
  bool fixed = false;
  std::vector<std::uint16_t> values;
  std::uint32_t seed = vu7sim::kDefaultSeed;
  long no_reply_every = 0;
  long exception_every = 0;
  long garble_every = 0;
  long wrong_slave_every = 0;
  long slow_every = 0;
  long slow_ms = vu7sim::kDefaultSlowMs;
  bool wrong_echo = false;
  bool verbose = false;
};

long ParseNumber(const std::string& flag, const std::string& text, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    throw UsageError(flag + " wants a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                     ", not \"" + text + "\"");
  }
  return value;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (flag == "--pty") {
      o.pty_link = value();
      if (o.pty_link.empty()) throw UsageError("--pty needs a path");
    } else if (flag == "--tcp") {
      const std::string where = value();
      const std::size_t colon = where.rfind(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 == where.size()) {
        throw UsageError("--tcp wants HOST:PORT, not \"" + where + "\"");
      }
      o.tcp_host = where.substr(0, colon);
      if (o.tcp_host.size() > 2 && o.tcp_host.front() == '[' && o.tcp_host.back() == ']') {
        o.tcp_host = o.tcp_host.substr(1, o.tcp_host.size() - 2);
      }
      o.tcp_port = std::to_string(ParseNumber("--tcp port", where.substr(colon + 1), 0, 65535));
    } else if (flag == "--slave") {
      for (const std::string& id : Split(value(), ',')) o.slaves.insert(static_cast<int>(ParseNumber(flag, id, 1, 247)));
    } else if (flag == "--values") {
      const std::vector<std::string> parts = Split(value(), ',');
      if (parts.size() != static_cast<std::size_t>(vu7sim::kReadingCount)) {
        throw UsageError("--values wants five numbers: H,T,P25,P10,P1");
      }
      for (const std::string& part : parts) o.values.push_back(static_cast<std::uint16_t>(ParseNumber(flag, part, 0, 65535)));
      o.fixed = true;
    } else if (flag == "--seed") {
      o.seed = static_cast<std::uint32_t>(ParseNumber(flag, value(), 0, std::numeric_limits<std::int32_t>::max()));
    } else if (flag == vu7sim::kNoReplyEvery) {
      o.no_reply_every = ParseNumber(flag, value(), 1, 1000000);
    } else if (flag == vu7sim::kExceptionEvery) {
      o.exception_every = ParseNumber(flag, value(), 1, 1000000);
    } else if (flag == vu7sim::kGarbleEvery) {
      o.garble_every = ParseNumber(flag, value(), 1, 1000000);
    } else if (flag == vu7sim::kWrongSlaveEvery) {
      o.wrong_slave_every = ParseNumber(flag, value(), 1, 1000000);
    } else if (flag == vu7sim::kSlowEvery) {
      o.slow_every = ParseNumber(flag, value(), 1, 1000000);
    } else if (flag == vu7sim::kSlowMs) {
      o.slow_ms = ParseNumber(flag, value(), 0, 600000);
    } else if (flag == vu7sim::kWrongEcho) {
      o.wrong_echo = true;
    } else if (flag == "--verbose") {
      o.verbose = true;
    } else {
      throw UsageError("unknown option \"" + flag + "\"");
    }
  }
  if (o.pty_link.empty() == o.tcp_host.empty()) throw UsageError("give one of --pty LINK and --tcp HOST:PORT");
  if (o.slaves.empty()) o.slaves.insert(vu7sim::kDefaultSlave);
  if (!o.pty_link.empty() && o.slaves.size() > 1) throw UsageError("a pseudo-terminal serves one slave id");
  return o;
}

// Plausible readings that wander: one small step per read, kept in range and in order (PM1 <= PM2.5 <= PM10).
class Drift {
 public:
  explicit Drift(std::uint32_t seed) : random_(seed) {
    std::uniform_real_distribution<double> start(-1.0, 1.0);
    humidity_ = 450.0 + 100.0 * start(random_);
    temperature_ = 230.0 + 30.0 * start(random_);
    pm25_ = 35.0 + 15.0 * start(random_);
    pm10_ = pm25_ * 1.4;
    pm1_ = pm25_ * 0.7;
  }

  void Step() {
    humidity_ = std::clamp(humidity_ + Noise(3.0), 200.0, 900.0);
    temperature_ = std::clamp(temperature_ + Noise(1.0), 100.0, 350.0);
    pm25_ = std::clamp(pm25_ + Noise(1.5), 1.0, 300.0);
    pm10_ = std::clamp(pm10_ + Noise(2.0), pm25_, 500.0);
    pm1_ = std::clamp(pm1_ + Noise(1.0), 0.0, pm25_);
  }

  void Store(std::uint16_t* registers) const {
    const double values[] = {humidity_, temperature_, pm25_, pm10_, pm1_};
    for (int i = 0; i < vu7sim::kReadingCount; ++i) registers[i] = static_cast<std::uint16_t>(std::lround(values[i]));
  }

 private:
  double Noise(double sigma) { return std::normal_distribution<double>(0.0, sigma)(random_); }

  std::mt19937 random_;
  double humidity_, temperature_, pm25_, pm10_, pm1_;
};

struct Slave {
  modbus_mapping_t* map = nullptr;
  Drift drift;
  explicit Slave(std::uint32_t seed) : drift(seed) {}
};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

class Simulator {
 public:
  Simulator(const Options& o, modbus_t* ctx) : o_(o), ctx_(ctx) {
    std::uint32_t seed = o.seed;
    for (int id : o.slaves) {
      Slave& s = slaves_.emplace(id, Slave(seed++)).first->second;
      s.map = modbus_mapping_new(0, 0, vu7sim::kRegisterCount, vu7sim::kReadingCount);
      if (s.map == nullptr) throw std::runtime_error(std::string("cannot allocate registers: ") + modbus_strerror(errno));
      if (o.fixed) {
        std::copy(o.values.begin(), o.values.end(), s.map->tab_registers);
      } else {
        s.drift.Store(s.map->tab_registers);
      }
      std::copy_n(s.map->tab_registers, vu7sim::kReadingCount, s.map->tab_input_registers);
    }
  }
  ~Simulator() {
    for (auto& s : slaves_) modbus_mapping_free(s.second.map);
  }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // One received request of length rc (header and check sum included).
  void Handle(const std::uint8_t* req, int rc) {
    const int offset = modbus_get_header_length(ctx_);
    if (rc < offset + 1) return;
    const int unit = req[offset - 1];
    const int function = req[offset];
    const auto found = slaves_.find(unit);
    // Broadcasts and foreign ids go unanswered; a TCP peer's unit 0 addresses the one slave served.
    if (found == slaves_.end()) {
      if (!(unit == 0 && slaves_.size() == 1 && o_.pty_link.empty())) return;
    }
    Slave& slave = found != slaves_.end() ? found->second : slaves_.begin()->second;
    const long n = ++requests_;
    const int address = rc >= offset + 3 ? (req[offset + 1] << 8 | req[offset + 2]) : 0;
    const int count = rc >= offset + 5 ? (req[offset + 3] << 8 | req[offset + 4]) : 0;

    if (Hits(o_.no_reply_every, n)) {
      Log(n, unit, "no reply (fault)");
      return;
    }
    if (Hits(o_.exception_every, n)) {
      Log(n, unit, "exception " + std::to_string(vu7sim::kBusyException) + " (fault)");
      modbus_reply_exception(ctx_, req, vu7sim::kBusyException);
      return;
    }
    if (Hits(o_.slow_every, n)) {
      Log(n, unit, "slow reply, " + std::to_string(o_.slow_ms) + " ms (fault)");
      if (!Pause(o_.slow_ms)) return;
    }

    const bool write_one = function == MODBUS_FC_WRITE_SINGLE_REGISTER;
    const bool write_many = function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    if ((write_one && address < vu7sim::kFirstSettingRegister) ||
        (write_many && address < vu7sim::kFirstSettingRegister && count > 0)) {
      Log(n, unit, "write to reading register " + std::to_string(address) + " refused");
      modbus_reply_exception(ctx_, req, vu7sim::kIllegalAddressException);
      return;
    }
    const bool reads_readings = (function == MODBUS_FC_READ_HOLDING_REGISTERS || function == MODBUS_FC_READ_INPUT_REGISTERS) &&
                                address < vu7sim::kReadingCount;
    if (reads_readings && !o_.fixed) {
      slave.drift.Step();
      slave.drift.Store(slave.map->tab_registers);
      std::copy_n(slave.map->tab_registers, vu7sim::kReadingCount, slave.map->tab_input_registers);
    }

    const bool garble = Hits(o_.garble_every, n);
    const bool foreign = !garble && Hits(o_.wrong_slave_every, n);
    if (foreign) {
      Log(n, unit, "reply as from slave " + std::to_string(vu7sim::ForeignSlave(unit)) + " (fault)");
      Foreign(req, rc, slave, unit);
      return;
    }
    if (o_.wrong_echo && (write_one || write_many) && !garble) {
      WrongEcho(req, rc, slave, n, unit, write_one, address, count);
      return;
    }
    if (garble) {
      Log(n, unit, "garbled reply (fault)");
      Garble(req, rc, slave);
      return;
    }
    const int sent = modbus_reply(ctx_, req, rc, slave.map);
    if (o_.verbose) Describe(n, unit, function, address, count, slave, sent);
  }

 private:
  static bool Hits(long every, long n) { return every > 0 && n % every == 0; }

  void Log(long n, int unit, const std::string& what) const {
    if (!o_.verbose) return;
    std::printf("vu7-sim: request %ld slave %d: %s\n", n, unit, what.c_str());
    std::fflush(stdout);
  }

  void Describe(long n, int unit, int function, int address, int count, const Slave& slave, int sent) const {
    if (sent < 0) {
      Log(n, unit, std::string("reply failed: ") + modbus_strerror(errno));
      return;
    }
    const bool holding = function == MODBUS_FC_READ_HOLDING_REGISTERS;
    if ((holding || function == MODBUS_FC_READ_INPUT_REGISTERS) && count > 0 &&
        address + count <= (holding ? vu7sim::kRegisterCount : vu7sim::kReadingCount)) {
      const std::uint16_t* regs = holding ? slave.map->tab_registers : slave.map->tab_input_registers;
      std::string text = "read " + std::to_string(address) + "+" + std::to_string(count) + vu7sim::kReadLogMarker;
      for (int i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(regs[address + i]);
      Log(n, unit, text);
    } else if (function == MODBUS_FC_WRITE_SINGLE_REGISTER || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS) {
      Log(n, unit, "write " + std::to_string(address) + " -> " + std::to_string(slave.map->tab_registers[address % vu7sim::kRegisterCount]));
    } else {
      Log(n, unit, "function " + std::to_string(function) + " answered");
    }
  }

  // Waits ms milliseconds; false when a stop signal came first.
  bool Pause(long ms) const {
    const sigset_t stop = StopSignals();
    timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    if (sigtimedwait(&stop, nullptr, &wait) > 0) {
      g_stop = 1;
      return false;
    }
    return true;
  }

  // Stores the write and sends an echo that is well formed but does not match the request.
  void WrongEcho(const std::uint8_t* req, int rc, Slave& slave, long n, int unit, bool write_one, int address, int count) {
    const int offset = modbus_get_header_length(ctx_);
    std::uint8_t echo[6];
    std::copy_n(req + offset - 1, 6, echo);  // unit, function, address, value or quantity
    std::uint16_t word = static_cast<std::uint16_t>(count);
    if (write_one) {
      if (address >= vu7sim::kRegisterCount) {
        modbus_reply_exception(ctx_, req, vu7sim::kIllegalAddressException);
        return;
      }
      word = static_cast<std::uint16_t>(word ^ vu7sim::kWrongEchoXor);
      slave.map->tab_registers[address] = word;
    } else {
      // The values are stored as asked (libmodbus checks the request); only the echoed quantity is wrong.
      std::uint8_t reply[MODBUS_MAX_ADU_LENGTH];
      const int length = Capture(req, rc, slave, reply);
      if (length <= offset) return;
      if (reply[offset] & 0x80) {
        // A request libmodbus refuses gets its exception, not an echo.
        Send(reply, length);
        return;
      }
      word = static_cast<std::uint16_t>(word ^ vu7sim::kWrongEchoXor);
    }
    echo[4] = static_cast<std::uint8_t>(word >> 8);
    echo[5] = static_cast<std::uint8_t>(word & 0xFF);
    // The raw request path frames the bytes (check sum or TCP header) like any reply.
    modbus_send_raw_request(ctx_, echo, sizeof echo);
    Log(n, unit, "write " + std::to_string(address) + " echoed wrongly as " + std::to_string(word) + " (fault)");
  }

  // Lets libmodbus answer into a socket pair instead of the line; the reply's bytes land in out.
  int Capture(const std::uint8_t* req, int rc, Slave& slave, std::uint8_t* out) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    const int line = modbus_get_socket(ctx_);
    modbus_set_socket(ctx_, pair[0]);
    const int sent = modbus_reply(ctx_, req, rc, slave.map);
    modbus_set_socket(ctx_, line);
    int got = 0;
    if (sent > 0) got = static_cast<int>(read(pair[1], out, MODBUS_MAX_ADU_LENGTH));
    close(pair[0]);
    close(pair[1]);
    return got > 0 ? got : 0;
  }

  // The right reply with a broken check sum (RTU) or protocol id (TCP, which has no check sum).
  void Garble(const std::uint8_t* req, int rc, Slave& slave) {
    std::uint8_t frame[MODBUS_MAX_ADU_LENGTH];
    const int length = Capture(req, rc, slave, frame);
    if (length <= 0) return;
    if (o_.pty_link.empty()) {
      frame[2] ^= 0xFF;
      frame[3] ^= 0xFF;
    } else {
      frame[length - 1] ^= 0xFF;
    }
    Send(frame, length);
  }

  // The right reply under another slave id: the check sum (RTU) made anew, so that only the id is wrong.
  void Foreign(const std::uint8_t* req, int rc, Slave& slave, int unit) {
    std::uint8_t frame[MODBUS_MAX_ADU_LENGTH];
    const int length = Capture(req, rc, slave, frame);
    const int offset = modbus_get_header_length(ctx_);
    if (length <= offset) return;
    frame[offset - 1] = static_cast<std::uint8_t>(vu7sim::ForeignSlave(unit));
    if (o_.pty_link.empty()) {
      Send(frame, length);
    } else {
      modbus_send_raw_request(ctx_, frame, length - 2);
    }
  }

  void Send(const std::uint8_t* frame, int length) {
    if (write(modbus_get_socket(ctx_), frame, static_cast<std::size_t>(length)) < 0) {
      Log(requests_, 0, std::string("write failed: ") + std::strerror(errno));
    }
  }

  const Options& o_;
  modbus_t* ctx_;
  std::map<int, Slave> slaves_;
  long requests_ = 0;
};

// Waits for fd to become readable; false on a stop signal. The stop signals are blocked outside this wait.
bool WaitReadable(std::vector<pollfd>& fds) {
  const sigset_t none = [] {
    sigset_t s;
    sigemptyset(&s);
    return s;
  }();
  for (;;) {
    if (g_stop) return false;
    const int rc = ppoll(fds.data(), fds.size(), nullptr, &none);
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
  }
}

class PtyLink {
 public:
  explicit PtyLink(const std::string& link) : link_(link) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("cannot name the pseudo-terminal");
    name_ = name;
    // Holding the far end open keeps the line up while masters come and go; raw, so nothing is echoed.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) throw std::runtime_error("cannot open " + name_);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);

    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      throw std::runtime_error(link + " exists and is not a symbolic link");
    }
    // A stale link from an earlier run is replaced in one step.
    const std::string temp = link + ".tmp" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(name, temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      unlink(temp.c_str());
      throw std::runtime_error("cannot link " + link + " to " + name_ + ": " + why);
    }
  }
  ~PtyLink() {
    char target[256];
    const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == name_) unlink(link_.c_str());
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  int master() const { return master_; }
  const std::string& name() const { return name_; }

 private:
  std::string link_;
  std::string name_;
  int master_ = -1;
  int slave_ = -1;
};

int ServePty(const Options& o) {
  PtyLink pty(o.pty_link);
  // The backend frames RTU; the line is the pseudo-terminal's master side, never opened by path.
  modbus_t* ctx = modbus_new_rtu(pty.name().c_str(), 9600, 'N', 8, 1);
  if (ctx == nullptr) throw std::runtime_error(std::string("cannot set up RTU: ") + modbus_strerror(errno));
  modbus_set_slave(ctx, *o.slaves.begin());
  modbus_set_socket(ctx, pty.master());
  {
    Simulator sim(o, ctx);
    std::printf("vu7-sim: slave %d on %s, linked from %s\n", *o.slaves.begin(), pty.name().c_str(), o.pty_link.c_str());
    std::fflush(stdout);
    std::uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    std::vector<pollfd> fds{{pty.master(), POLLIN, 0}};
    while (WaitReadable(fds)) {
      const int rc = modbus_receive(ctx, req);
      if (rc > 0) {
        sim.Handle(req, rc);
      } else if (rc < 0 && o.verbose) {
        std::printf("vu7-sim: bad request: %s\n", modbus_strerror(errno));
        std::fflush(stdout);
      }
    }
  }
  modbus_free(ctx);
  return 0;
}

int ServeTcp(const Options& o) {
  modbus_t* ctx = modbus_new_tcp_pi(o.tcp_host.c_str(), o.tcp_port.c_str());
  if (ctx == nullptr) throw std::runtime_error(std::string("cannot set up TCP: ") + modbus_strerror(errno));
  const int listener = modbus_tcp_pi_listen(ctx, 8);
  if (listener < 0) {
    const std::string why = modbus_strerror(errno);
    modbus_free(ctx);
    throw std::runtime_error("cannot listen on " + o.tcp_host + ":" + o.tcp_port + ": " + why);
  }
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                              : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  {
    Simulator sim(o, ctx);
    std::string ids;
    for (int id : o.slaves) ids += (ids.empty() ? "" : ",") + std::to_string(id);
    std::printf("vu7-sim: slave %s listening on %s:%d\n", ids.c_str(), o.tcp_host.c_str(), port);
    std::fflush(stdout);
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    std::uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    while (WaitReadable(fds)) {
      for (std::size_t i = fds.size(); i-- > 0;) {
        if (fds[i].revents == 0) continue;
        if (i == 0) {
          const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
          if (client >= 0) fds.push_back({client, POLLIN, 0});
          continue;
        }
        modbus_set_socket(ctx, fds[i].fd);
        const int rc = modbus_receive(ctx, req);
        if (rc > 0) {
          sim.Handle(req, rc);
        } else if (rc < 0) {
          close(fds[i].fd);
          fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
      for (pollfd& p : fds) p.revents = 0;
    }
    for (std::size_t i = 1; i < fds.size(); ++i) close(fds[i].fd);
  }
  close(listener);
  modbus_free(ctx);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "vu7-sim: %s (see --help)\n", e.what());
    return 2;
  }
  // The stop signals are only taken while waiting for a request, so a reply in progress always completes.
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const sigset_t stop = StopSignals();
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  try {
    return o.pty_link.empty() ? ServeTcp(o) : ServePty(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vu7-sim: %s\n", e.what());
    return 1;
  }
}
