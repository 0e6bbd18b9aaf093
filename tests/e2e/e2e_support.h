#pragma once

// Processes, files and waits for the end-to-end tests, which run devhost, vu7-sim and mbpoll as they
// are run by hand.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

namespace e2e {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& file, const std::string& text);
std::string ReadFile(const fs::path& file);
std::vector<std::string> Lines(const fs::path& file);

// A child process with standard input from /dev/null and its output in files. Killed (SIGKILL) and
// reaped on destruction if it is still running.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err, const fs::path& cwd = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  void Signal(int signal) const;
  // The raw wait status once it has ended, or nothing after timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // Kill, then reap.
  void Kill();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Polls until ready() holds; false after timeout.
bool WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout);

// What a finished run printed and how it ended.
struct Finished {
  int status = -1;  // exit status; -1 when it did not exit normally in time
  std::string out;
  std::string err;
};
Finished RunToEnd(const std::vector<std::string>& argv, const fs::path& dir, std::chrono::milliseconds timeout);

// Every line of a JSON-lines file; a line that is not a JSON object with a string "event" fails the test.
std::vector<Json::Value> Events(const fs::path& file);
std::vector<Json::Value> Events(const fs::path& file, const std::string& event);

Bytes FromHex(const std::string& hex);
// Register words as the record holds them, little-endian.
Bytes LittleEndian(const std::vector<std::uint16_t>& words);

struct HistoryRow {
  std::string device;
  std::int64_t data_id = 0;
  int data_type = 0;
  std::string time;
  Bytes record;
};
std::vector<HistoryRow> History(const fs::path& db);

// A read of registers 0 to 4 that vu7-sim logged (--verbose): its request number, the slave and the
// values it served.
struct SimulatorRead {
  long request = 0;
  int slave = 0;
  std::vector<std::uint16_t> values;
};
std::vector<SimulatorRead> SimulatorReads(const fs::path& log);

}  // namespace e2e
