// devhost: loads device plug-ins and drives them over real Modbus lines; events go out as JSON lines.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "events.h"
#include "history.h"
#include "host_config.h"
#include "zade_controller.h"

namespace {

const char kUsage[] =
    "usage: devhost --config FILE [-C DIR] [--rounds N] [--interval SECONDS] [--history FILE]\n"
    "               [--write DEVICE:ADDRESS=VALUE[,VALUE...]]... [--plugin-dir DIR]\n"
    "\n"
    "Loads the device plug-ins named in the configuration, initialises their devices and polls each one\n"
    "every interval, over RTU serial lines or Modbus TCP. Events go to standard output as JSON lines\n"
    "(\"record\", \"readings\", \"threshold_check\", \"ao_report\", \"control\", \"error\"); the plug-ins'\n"
    "own console lines and devhost's messages go to standard error.\n"
    "\n"
    "  --config FILE       the host configuration (JSON)\n"
    "  -C DIR              change to DIR first: relative paths, and the plug-ins' ./ini/, are taken from there\n"
    "  --rounds N          stop after N polls of each device, answered or not (0: only the writes);\n"
    "                      default: until SIGINT or SIGTERM\n"
    "  --interval SECONDS  time from the start of one round to the next (default 1, fractions allowed)\n"
    "  --history FILE      SQLite file for the device history (default: kept in memory only)\n"
    "  --write SPEC        before polling, write ADDRESS=VALUE (control 206) or several consecutive\n"
    "                      registers ADDRESS=V1,V2,... (control 210) through DEVICE; may repeat\n"
    "  --plugin-dir DIR    take relative plug-in paths from DIR instead of the configuration's folder\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 when stopped by --rounds or a signal, 1 for a configuration, plug-in, port or\n"
    "device set-up that cannot work, 2 for a bad command line.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct WriteSpec {
  std::string device;
  int address = 0;
  std::vector<std::uint16_t> values;
};

struct Options {
  bool help = false;
  std::string config;
  std::string dir;
  long rounds = -1;  // -1: until stopped
  double interval = 1.0;
  std::string history;
  std::string plugin_dir;
  std::vector<WriteSpec> writes;
};

long Number(const std::string& what, const std::string& text, long low, long high) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, hex ? 16 : 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high || text[0] == '+' || text[0] == ' ') {
    throw UsageError(what + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                     ", not \"" + text + "\"");
  }
  return value;
}

WriteSpec ParseWrite(const std::string& spec) {
  const std::size_t equals = spec.find('=');
  const std::size_t colon = equals == std::string::npos ? std::string::npos : spec.rfind(':', equals);
  if (colon == std::string::npos || colon == 0 || equals == colon + 1 || equals + 1 >= spec.size()) {
    throw UsageError("--write wants DEVICE:ADDRESS=VALUE[,VALUE...], not \"" + spec + "\"");
  }
  WriteSpec w;
  w.device = spec.substr(0, colon);
  w.address = static_cast<int>(Number("--write address", spec.substr(colon + 1, equals - colon - 1), 0, 0xFFFF));
  std::size_t start = equals + 1;
  for (;;) {
    const std::size_t comma = spec.find(',', start);
    w.values.push_back(static_cast<std::uint16_t>(Number("--write value", spec.substr(start, comma - start), 0, 0xFFFF)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (w.values.size() > static_cast<std::size_t>(SPModbus::kMaxWriteRegisters)) {
    throw UsageError("--write takes at most " + std::to_string(SPModbus::kMaxWriteRegisters) + " values");
  }
  if (w.address + static_cast<long>(w.values.size()) > 0x10000) throw UsageError("--write runs past register 65535");
  return w;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    std::string inline_value;
    bool has_inline = false;
    if (flag.rfind("--", 0) == 0 && flag.find('=') != std::string::npos) {
      inline_value = flag.substr(flag.find('=') + 1);
      flag = flag.substr(0, flag.find('='));
      has_inline = true;
    }
    auto value = [&]() -> std::string {
      if (has_inline) return inline_value;
      if (i + 1 >= argc) throw UsageError(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--help" || flag == "-h") {
      o.help = true;
    } else if (flag == "--config") {
      o.config = value();
    } else if (flag == "-C") {
      o.dir = value();
    } else if (flag == "--rounds") {
      o.rounds = Number("--rounds", value(), 0, 1000000000L);
    } else if (flag == "--interval") {
      const std::string text = value();
      char* end = nullptr;
      const double seconds = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 1e6) {
        throw UsageError("--interval must be a number of seconds from 0 to 1000000, not \"" + text + "\"");
      }
      o.interval = seconds;
    } else if (flag == "--history") {
      o.history = value();
    } else if (flag == "--plugin-dir") {
      o.plugin_dir = value();
    } else if (flag == "--write") {
      o.writes.push_back(ParseWrite(value()));
    } else {
      throw UsageError("unknown option \"" + flag + "\"");
    }
    if (has_inline && (flag == "--help" || flag == "-h")) throw UsageError(flag + " takes no value");
  }
  if (!o.help && o.config.empty()) throw UsageError("--config FILE is required");
  return o;
}

// SIGINT and SIGTERM stay blocked, so an exchange in flight always completes; they are looked for
// between devices and waited for between rounds.
class Stopper {
 public:
  Stopper() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigprocmask(SIG_BLOCK, &set_, nullptr);
  }

  bool operator()() {
    if (!stopped_) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      stopped_ = sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
    }
    return stopped_;
  }
  // What the last look found, without looking again.
  bool stopped() const { return stopped_; }

  void WaitUntil(std::chrono::steady_clock::time_point until) {
    while (!stopped_) {
      const auto left = until - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      if (sigtimedwait(&set_, nullptr, &wait) > 0) stopped_ = true;
    }
  }

 private:
  sigset_t set_;
  bool stopped_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  // The JSON lines keep the real standard output; whatever else is printed there (the plug-ins' console
  // lines) goes to standard error, line by line.
  const int json_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (json_fd < 0) {
    std::fprintf(stderr, "devhost: no standard output: %s\n", std::strerror(errno));
    return 1;
  }
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "devhost: %s (see --help)\n", e.what());
    return 2;
  }
  if (o.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fflush(stdout);
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::fprintf(stderr, "devhost: cannot redirect the console: %s\n", std::strerror(errno));
    return 1;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Stopper stop;

  try {
    if (!o.dir.empty() && chdir(o.dir.c_str()) != 0) {
      throw HostError("cannot change to directory " + o.dir + ": " + std::strerror(errno));
    }
    const HostConfig config = LoadHostConfig(o.config, o.plugin_dir);
    for (const WriteSpec& w : o.writes) {
      bool known = false;
      for (const DeviceConfig& d : config.devices) known = known || d.name == w.device;
      if (!known) throw HostError("--write names device \"" + w.device + "\", which " + o.config + " does not have");
    }
    History history(o.history.empty() ? ":memory:" : o.history);
    EventSink events(json_fd);
    ZadeController controller(events, history);
    controller.Setup(config);
    controller.OpenLines();

    for (const WriteSpec& w : o.writes) {
      if (stop()) break;
      controller.Write(w.device, w.address, w.values);
    }
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(o.interval));
    // PollRound looks for a signal before each device (a configuration has at least one), so the loop
    // need not look again.
    for (long round = 1; (o.rounds < 0 || round <= o.rounds) && !stop.stopped(); ++round) {
      const auto start = std::chrono::steady_clock::now();
      controller.PollRound([&stop] { return stop(); });
      if (round == o.rounds) break;
      stop.WaitUntil(start + interval);
    }
    const HostTotals t = controller.totals();
    std::fprintf(stderr, "devhost: %ld polls, %ld rounds, %ld history rows, %ld reports, %ld errors\n", t.polls,
                 t.rounds, t.history_rows, t.reports, t.errors);
  } catch (const HostError& e) {
    std::fprintf(stderr, "devhost: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "devhost: unexpected error: %s\n", e.what());
    return 1;
  }
  return 0;
}
