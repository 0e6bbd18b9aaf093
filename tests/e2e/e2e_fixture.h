#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "e2e_support.h"

namespace e2e {

using namespace std::chrono_literals;

// Generous: the machine may be loaded; the tests wait for conditions, so a fast run stays fast.
constexpr auto kPatience = 20s;

// Reading name to signal id (ten characters, so that every signal is checked) and signal name.
inline const char kSignalMap[] =
    "AI:\n"
    "  湿度: 0418101001,环境湿度\n"
    "  温度: 0418102001,环境温度\n"
    "  PM2点5: 0418103001,PM2.5浓度\n"
    "  PM10: 0418104001,PM10浓度\n"
    "  PM1点0: 0418105001,PM1.0浓度\n";

// A scratch directory with ./ini/1201.yaml, where devhost runs (-C) and vu7-sim links its terminal.
class HostE2E : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(dir_ / "ini/1201.yaml", kSignalMap); }

  std::string link() const { return (dir_ / "vu7.pty").string(); }
  fs::path out() const { return dir_ / "out.jsonl"; }
  fs::path err() const { return dir_ / "devhost.err"; }
  fs::path history() const { return dir_ / "history.sqlite"; }

  // vu7-sim on a pseudo-terminal linked from link(), logging each request to dir/log; back once it serves.
  std::unique_ptr<Process> StartSim(const std::vector<std::string>& args, const std::string& log = "sim.log") {
    std::vector<std::string> argv{VU7_SIM, "--pty", link(), "--verbose"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Started(argv, log);
  }

  // vu7-sim on TCP; port 0 picks a free one. Sets tcp_ to "127.0.0.1:PORT".
  std::unique_ptr<Process> StartTcpSim(const std::vector<std::string>& args, int port = 0,
                                       const std::string& log = "sim.log") {
    std::vector<std::string> argv{VU7_SIM, "--tcp", "127.0.0.1:" + std::to_string(port), "--verbose"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto sim = Started(argv, log);
    const std::string first = Lines(dir_ / log).empty() ? "" : Lines(dir_ / log).front();
    const std::size_t at = first.rfind(':');
    if (at != std::string::npos) tcp_ = "127.0.0.1:" + first.substr(at + 1);
    return sim;
  }

  static Json::Value Device(const std::string& name, unsigned data_id, const Json::Value& bus) {
    Json::Value d;
    d["name"] = name;
    d["plugin"] = VADID_PLUGIN;
    d["dataId"] = data_id;
    d["bus"] = bus;
    d["setting"]["appSetting"]["b_mode"] = "1";
    return d;
  }

  Json::Value SerialBus(int timeout_ms = 1000) const {
    Json::Value bus;
    bus["port"] = link();
    bus["timeoutMs"] = timeout_ms;
    bus["backoffMaxMs"] = 200;
    return bus;
  }

  Json::Value TcpBus(int slave, int timeout_ms = 1000) const {
    Json::Value bus;
    bus["tcp"] = tcp_;
    bus["slave"] = slave;
    bus["timeoutMs"] = timeout_ms;
    bus["backoffMaxMs"] = 200;
    return bus;
  }

  fs::path Config(const std::vector<Json::Value>& devices) const {
    Json::Value root;
    for (const Json::Value& d : devices) root["devices"].append(d);
    const fs::path file = dir_ / "host.json";
    WriteFile(file, Json::writeString(Json::StreamWriterBuilder(), root));
    return file;
  }

  std::unique_ptr<Process> StartDevhost(const fs::path& config, const std::vector<std::string>& args) const {
    std::vector<std::string> argv{DEVHOST, "-C", dir_.path().string(), "--config", config.string(), "--history",
                                  history().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, out(), err());
  }

  // devhost's exit status once it has ended; -1 (and a failure) when it did not exit normally in time.
  int Finish(Process& devhost) const {
    const std::optional<int> status = devhost.Wait(kPatience);
    if (!status || !WIFEXITED(*status)) {
      ADD_FAILURE() << "devhost did not exit normally\n" << ReadFile(err());
      return -1;
    }
    return WEXITSTATUS(*status);
  }

  // Runs devhost to the end of its --rounds.
  int RunDevhost(const fs::path& config, const std::vector<std::string>& args) const {
    auto devhost = StartDevhost(config, args);
    return Finish(*devhost);
  }

  std::size_t Count(const std::string& event) const { return Events(out(), event).size(); }

  // Forgets the previous devhost run, for tests that make several.
  void ForgetRun() const {
    for (const fs::path& f : {out(), err(), history(), fs::path(history().string() + "-wal"),
                              fs::path(history().string() + "-shm")}) {
      fs::remove(f);
    }
  }

  TempDir dir_;
  std::string tcp_;

 private:
  std::unique_ptr<Process> Started(const std::vector<std::string>& argv, const std::string& log) {
    // The readiness line must be this simulator's.
    fs::remove(dir_ / log);
    auto sim = std::make_unique<Process>(argv, dir_ / log, dir_ / (log + ".err"));
    const bool up = WaitFor(
        [&] {
          const std::vector<std::string> lines = Lines(dir_ / log);
          return (!lines.empty() && lines.front().rfind("vu7-sim: slave", 0) == 0) || !sim->Running();
        },
        kPatience);
    EXPECT_TRUE(up && sim->Running()) << "vu7-sim did not come up: " << ReadFile(dir_ / (log + ".err"));
    return sim;
  }
};

}  // namespace e2e
