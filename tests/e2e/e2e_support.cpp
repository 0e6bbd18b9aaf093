#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <json/reader.h>

#include "vu7_sim_protocol.h"

namespace e2e {

TempDir::TempDir() {
  std::string name = (fs::temp_directory_path() / "vadid-e2e-XXXXXX").string();
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const fs::path& file) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(file);
  // A line still being written is not a line yet.
  std::istringstream in(text.substr(0, text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Process::Process(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err, const fs::path& cwd) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string out_path = out.string();
  const std::string err_path = err.string();
  const std::string dir = cwd.string();
  // The files are emptied before the fork: a caller that looks at them at once must not find the last
  // run's output there.
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || o < 0 || e < 0) {
    for (int fd : {in, o, e}) {
      if (fd >= 0) close(fd);
    }
    throw std::runtime_error("cannot open " + out_path + " or " + err_path);
  }
  pid_ = fork();
  if (pid_ < 0) {
    for (int fd : {in, o, e}) close(fd);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on.
    if (dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  for (int fd : {in, o, e}) close(fd);
}

Process::~Process() { Kill(); }

bool Process::Running() {
  if (status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  return !status_;
}

void Process::Signal(int signal) const {
  if (!status_) kill(pid_, signal);
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  WaitFor([this] { return !Running(); }, timeout);
  return status_;
}

void Process::Kill() {
  if (pid_ <= 0 || status_) return;
  kill(pid_, SIGKILL);
  int status = 0;
  if (waitpid(pid_, &status, 0) == pid_) status_ = status;
}

bool WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Finished RunToEnd(const std::vector<std::string>& argv, const fs::path& dir, std::chrono::milliseconds timeout) {
  static int serial = 0;
  const fs::path out = dir / ("run" + std::to_string(++serial) + ".out");
  const fs::path err = dir / ("run" + std::to_string(serial) + ".err");
  Finished run;
  {
    Process p(argv, out, err, dir);
    const std::optional<int> status = p.Wait(timeout);
    if (status && WIFEXITED(*status)) run.status = WEXITSTATUS(*status);
  }
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

std::vector<Json::Value> Events(const fs::path& file) {
  std::vector<Json::Value> events;
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  for (const std::string& line : Lines(file)) {
    Json::Value event;
    std::string errors;
    const bool ok = reader->parse(line.data(), line.data() + line.size(), &event, &errors);
    EXPECT_TRUE(ok && event.isObject() && event["event"].isString()) << "not an event line: " << line;
    if (ok && event.isObject()) events.push_back(event);
  }
  return events;
}

std::vector<Json::Value> Events(const fs::path& file, const std::string& name) {
  std::vector<Json::Value> out;
  for (const Json::Value& e : Events(file))
    if (e["event"].asString() == name) out.push_back(e);
  return out;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes LittleEndian(const std::vector<std::uint16_t>& words) {
  Bytes out;
  for (std::uint16_t w : words) {
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  return out;
}

std::vector<HistoryRow> History(const fs::path& db) {
  std::vector<HistoryRow> rows;
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << db << ": " << (handle ? sqlite3_errmsg(handle) : "");
    sqlite3_close(handle);
    return rows;
  }
  sqlite3_busy_timeout(handle, 2000);
  sqlite3_stmt* query = nullptr;
  if (sqlite3_prepare_v2(handle, "SELECT device, data_id, data_type, time, record FROM history ORDER BY id", -1,
                         &query, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot query " << db << ": " << sqlite3_errmsg(handle);
  } else {
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(query)) == SQLITE_ROW) {
      HistoryRow row;
      row.device = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
      row.data_id = sqlite3_column_int64(query, 1);
      row.data_type = sqlite3_column_int(query, 2);
      row.time = reinterpret_cast<const char*>(sqlite3_column_text(query, 3));
      const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(query, 4));
      row.record.assign(blob, blob + sqlite3_column_bytes(query, 4));
      rows.push_back(row);
    }
    // A read cut short must not pass for fewer rows.
    if (rc != SQLITE_DONE) {
      ADD_FAILURE() << "reading " << db << " stopped after " << rows.size() << " rows: " << sqlite3_errmsg(handle);
    }
  }
  sqlite3_finalize(query);
  sqlite3_close(handle);
  return rows;
}

std::vector<SimulatorRead> SimulatorReads(const fs::path& log) {
  std::vector<SimulatorRead> reads;
  for (const std::string& line : Lines(log)) {
    const std::size_t marker = line.find(vu7sim::kReadLogMarker);
    const std::size_t slave = line.find(" slave ");
    if (marker == std::string::npos || slave == std::string::npos || line.find(": read 0+5") == std::string::npos) {
      continue;
    }
    SimulatorRead read;
    const std::size_t request = line.find("request ");
    if (request != std::string::npos && request < slave) read.request = std::stol(line.substr(request + 8));
    read.slave = std::stoi(line.substr(slave + 7));
    std::istringstream in(line.substr(marker + std::string(vu7sim::kReadLogMarker).size()));
    for (std::string part; std::getline(in, part, ',');) {
      read.values.push_back(static_cast<std::uint16_t>(std::stoul(part)));
    }
    reads.push_back(read);
  }
  return reads;
}

}  // namespace e2e
