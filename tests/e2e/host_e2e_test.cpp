// devhost driving the real plug-in against vu7-sim: rounds, writes, faults, a lost line, stopping.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "e2e_fixture.h"
#include "vu7_sim_protocol.h"

namespace e2e {
namespace {

const std::string kValuesArg = "523,251,35,40,20";
// Data id 1201 and the five registers, as the record holds them; the time stamp follows.
const Bytes kRecordHead{0xB1, 0x04, 0x00, 0x00, 0x0B, 0x02, 0xFB, 0x00, 0x23, 0x00, 0x28, 0x00, 0x14, 0x00};

Bytes Head(const Bytes& record) { return Bytes(record.begin(), record.begin() + std::min<std::size_t>(14, record.size())); }
Bytes Registers(const Bytes& record) {
  return record.size() < 14 ? Bytes() : Bytes(record.begin() + 4, record.begin() + 14);
}

std::vector<int> Rounds(const std::vector<Json::Value>& events) {
  std::vector<int> rounds;
  for (const Json::Value& e : events) rounds.push_back(e["round"].asInt());
  return rounds;
}

std::size_t Occurrences(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

TEST_F(HostE2E, EachRoundGivesARecordItsReadingsAndAHistoryRow) {
  auto sim = StartSim({"--values", kValuesArg});
  Json::Value device = Device("room-1", 1201, SerialBus());
  // A period check is due on the first round only; a band only once the value has moved.
  device["ao"]["0418101001"]["periodMinutes"] = 15;
  device["ao"]["0418103001"]["absBand"] = 0.5;
  ASSERT_EQ(RunDevhost(Config({device}), {"--rounds", "4", "--interval", "0.05"}), 0) << ReadFile(err());

  const std::vector<Json::Value> records = Events(out(), "record");
  const std::vector<HistoryRow> rows = History(history());
  ASSERT_EQ(records.size(), 4u);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(Rounds(records), (std::vector<int>{1, 2, 3, 4}));
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE("round " + std::to_string(i + 1));
    const Bytes record = FromHex(records[i]["hex"].asString());
    ASSERT_EQ(record.size(), 21u);
    EXPECT_EQ(Head(record), kRecordHead);
    EXPECT_EQ(records[i]["dataType"].asInt(), 5156);
    EXPECT_EQ(records[i]["dataId"].asInt(), 1201);
    EXPECT_EQ(rows[i].record, record);
    EXPECT_EQ(rows[i].device, "room-1");
    EXPECT_EQ(rows[i].data_id, 1201);
    EXPECT_EQ(rows[i].data_type, 5156);
    // The record's stamp (from get_ttime) and the row's time are the same local time.
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", record[14] | record[15] << 8, record[16],
                  record[17], record[18], record[19], record[20]);
    EXPECT_EQ(rows[i].time, stamp);
  }

  const std::vector<Json::Value> readings = Events(out(), "readings");
  ASSERT_EQ(readings.size(), 4u);
  for (const Json::Value& r : readings) {
    EXPECT_EQ(r["dataId"].asInt(), 1201);
    EXPECT_FLOAT_EQ(r["readings"]["湿度"].asFloat(), 52.3f);
    EXPECT_FLOAT_EQ(r["readings"]["温度"].asFloat(), 25.1f);
    EXPECT_FLOAT_EQ(r["readings"]["PM2点5"].asFloat(), 35.0f);
    EXPECT_FLOAT_EQ(r["readings"]["PM10"].asFloat(), 40.0f);
    EXPECT_FLOAT_EQ(r["readings"]["PM1点0"].asFloat(), 20.0f);
    EXPECT_TRUE(r["readings"]["更新时间"].isString());
  }

  // Exactly the configured checks report: each once with fixed values, the unconfigured signals never.
  std::multiset<std::string> reported;
  for (const Json::Value& r : Events(out(), "ao_report")) reported.insert(r["signalId"].asString());
  EXPECT_EQ(reported, (std::multiset<std::string>{"0418101001", "0418103001"}));
  EXPECT_EQ(Count("threshold_check"), 20u);
  EXPECT_EQ(Count("error"), 0u);
  // The plug-in's console lines went to standard error, one "rvSize" line a round.
  EXPECT_EQ(Occurrences(ReadFile(err()), "rvSize is 0\n"), 4u);
}

TEST_F(HostE2E, RecordsHoldTheRegistersTheSimulatorServed) {
  auto sim = StartSim({"--seed", "11"});
  ASSERT_EQ(RunDevhost(Config({Device("room-1", 1201, SerialBus())}), {"--rounds", "3", "--interval", "0.05"}), 0)
      << ReadFile(err());
  const std::vector<SimulatorRead> served = SimulatorReads(dir_ / "sim.log");
  const std::vector<Json::Value> records = Events(out(), "record");
  const std::vector<HistoryRow> rows = History(history());
  ASSERT_EQ(served.size(), 3u);
  ASSERT_EQ(records.size(), 3u);
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t i = 0; i < served.size(); ++i) {
    SCOPED_TRACE("round " + std::to_string(i + 1));
    EXPECT_EQ(Registers(FromHex(records[i]["hex"].asString())), LittleEndian(served[i].values));
    EXPECT_EQ(Registers(rows[i].record), LittleEndian(served[i].values));
  }
  // The simulator's readings drift, so equal records would mean a stale buffer.
  EXPECT_NE(served.front().values, served.back().values);
}

TEST_F(HostE2E, WriteOutcomeComesFromTheEchoOnTheWire) {
  const std::string wrong_300 = std::to_string(300 ^ vu7sim::kWrongEchoXor);
  const std::string wrong_2 = std::to_string(2 ^ vu7sim::kWrongEchoXor);
  struct Case {
    const char* name;
    std::vector<std::string> sim;
    std::string spec;
    int code;
    int outcome;
    std::string sim_says;
  } cases[] = {
      {"one register, echoed", {}, "room-1:5=300", 206, 1, "write 5 -> 300"},
      {"several registers, echoed", {}, "room-1:6=7,8", 210, 1, "write 6 -> 7"},
      {"one register, echoed wrongly", {vu7sim::kWrongEcho}, "room-1:5=300", 206, 3, "echoed wrongly as " + wrong_300},
      {"several registers, echoed wrongly", {vu7sim::kWrongEcho}, "room-1:6=7,8", 210, 3, "echoed wrongly as " + wrong_2},
      {"a reading register, refused", {}, "room-1:2=9", 206, -1, "refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetRun();
    auto sim = StartSim(c.sim);
    ASSERT_EQ(RunDevhost(Config({Device("room-1", 1201, SerialBus())}), {"--rounds", "0", "--write", c.spec}), 0)
        << ReadFile(err());
    const std::vector<Json::Value> control = Events(out(), "control");
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0]["device"].asString(), "room-1");
    EXPECT_EQ(control[0]["code"].asInt(), c.code);
    EXPECT_EQ(control[0]["result"].asInt(), 0);
    EXPECT_EQ(control[0]["outcome"].asInt(), c.outcome);
    EXPECT_NE(ReadFile(dir_ / "sim.log").find(c.sim_says), std::string::npos) << ReadFile(dir_ / "sim.log");
    // A failed exchange is an error, not an outcome.
    EXPECT_EQ(Count("error"), c.outcome == -1 ? 1u : 0u);
    EXPECT_EQ(Count("record"), 0u);
  }
}

TEST_F(HostE2E, FaultsCostTheirRoundAndPollingGoesOn) {
  struct Case {
    const char* name;
    std::vector<std::string> sim;
    std::vector<int> failed;  // of rounds 1 to 4
    std::string error;
  } cases[] = {
      {"no reply", {vu7sim::kNoReplyEvery, "2"}, {2, 4}, "Connection timed out"},
      {"garbled frame", {vu7sim::kGarbleEvery, "2"}, {2, 4}, "Invalid CRC"},
      {"exception reply", {vu7sim::kExceptionEvery, "2"}, {2, 4}, "busy"},
      {"slow reply inside the time-out", {vu7sim::kSlowEvery, "2", vu7sim::kSlowMs, "100"}, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetRun();
    std::vector<std::string> sim_args{"--values", kValuesArg};
    sim_args.insert(sim_args.end(), c.sim.begin(), c.sim.end());
    auto sim = StartSim(sim_args);
    ASSERT_EQ(RunDevhost(Config({Device("room-1", 1201, SerialBus(c.failed.empty() ? 2000 : 500))}),
                         {"--rounds", "4", "--interval", "0.05"}),
              0)
        << ReadFile(err());
    std::vector<int> good;
    for (int round = 1; round <= 4; ++round)
      if (std::find(c.failed.begin(), c.failed.end(), round) == c.failed.end()) good.push_back(round);

    const std::vector<Json::Value> errors = Events(out(), "error");
    EXPECT_EQ(Rounds(errors), c.failed);
    for (const Json::Value& e : errors) EXPECT_NE(e["what"].asString().find(c.error), std::string::npos) << e["what"];
    EXPECT_EQ(Rounds(Events(out(), "record")), good);
    EXPECT_EQ(Rounds(Events(out(), "readings")), good);
    EXPECT_EQ(History(history()).size(), good.size());
    for (const HistoryRow& row : History(history())) EXPECT_EQ(Head(row.record), kRecordHead);
    EXPECT_EQ(Occurrences(ReadFile(err()), "SPModbus get error\n"), c.failed.size());
  }
}

TEST_F(HostE2E, AQuietDeviceOnASharedLineCostsOnlyItsOwnTimeOuts) {
  auto sim = StartTcpSim({"--slave", "1,2"});
  ASSERT_FALSE(tcp_.empty());
  Json::Value a = Device("a", 1201, TcpBus(1));
  a["bus"]["gapMs"] = 5;
  const Json::Value quiet = Device("quiet", 1203, TcpBus(9, 200));
  const Json::Value b = Device("b", 1202, TcpBus(2));
  ASSERT_EQ(RunDevhost(Config({a, quiet, b}), {"--rounds", "3", "--interval", "0.05"}), 0) << ReadFile(err());

  std::map<std::string, std::vector<Bytes>> registers;
  for (const Json::Value& r : Events(out(), "record")) {
    registers[r["device"].asString()].push_back(Registers(FromHex(r["hex"].asString())));
    EXPECT_EQ(r["dataId"].asInt(), r["device"].asString() == "a" ? 1201 : 1202);
  }
  std::map<int, std::vector<Bytes>> served;
  for (const SimulatorRead& read : SimulatorReads(dir_ / "sim.log")) served[read.slave].push_back(LittleEndian(read.values));
  EXPECT_EQ(registers["a"].size(), 3u);
  EXPECT_EQ(registers["a"], served[1]);
  EXPECT_EQ(registers["b"], served[2]);
  EXPECT_EQ(registers.count("quiet"), 0u);
  const std::vector<Json::Value> errors = Events(out(), "error");
  ASSERT_EQ(errors.size(), 3u);
  for (const Json::Value& e : errors) {
    EXPECT_EQ(e["device"].asString(), "quiet");
    EXPECT_NE(e["what"].asString().find("Connection timed out"), std::string::npos) << e["what"];
  }
}

// The simulator killed mid-run and started again on the same link or port.
class Resume : public HostE2E, public ::testing::WithParamInterface<bool> {};

TEST_P(Resume, PollingResumesWhenTheSimulatorComesBack) {
  const bool tcp = GetParam();
  const std::vector<std::string> args{"--values", kValuesArg};
  auto sim = tcp ? StartTcpSim(args) : StartSim(args);
  const Json::Value bus = tcp ? TcpBus(1) : SerialBus();
  auto devhost = StartDevhost(Config({Device("room-1", 1201, bus)}), {"--interval", "0.05"});
  ASSERT_TRUE(WaitFor([&] { return Count("record") >= 2; }, kPatience)) << ReadFile(err());

  sim->Kill();
  // The loss, then reopening attempts that fail while nothing serves the line.
  ASSERT_TRUE(WaitFor([&] { return Count("error") >= 3; }, kPatience)) << ReadFile(err());
  const std::size_t before = Count("record");
  const int port = tcp ? std::stoi(tcp_.substr(tcp_.rfind(':') + 1)) : 0;
  sim = tcp ? StartTcpSim(args, port, "sim2.log") : StartSim(args, "sim2.log");
  ASSERT_TRUE(WaitFor([&] { return Count("record") >= before + 2; }, kPatience)) << ReadFile(err());

  devhost->Signal(SIGTERM);
  EXPECT_EQ(Finish(*devhost), 0);
  EXPECT_EQ(History(history()).size(), Count("record"));
  EXPECT_GE(Occurrences(ReadFile(err()), "SPModbus get error\n"), 3u);
  // One poll a round throughout: the record and error rounds together count 1, 2, 3, ... without a gap.
  std::vector<int> rounds = Rounds(Events(out(), "record"));
  for (int r : Rounds(Events(out(), "error"))) rounds.push_back(r);
  std::sort(rounds.begin(), rounds.end());
  for (std::size_t i = 0; i < rounds.size(); ++i) ASSERT_EQ(rounds[i], static_cast<int>(i + 1));
}

INSTANTIATE_TEST_SUITE_P(Lines, Resume, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tcp" : "Pty"; });

// SIGTERM or SIGINT while a (slow) exchange is in flight: it completes, its round is stored, exit 0.
class Stop : public HostE2E, public ::testing::WithParamInterface<int> {};

TEST_P(Stop, AfterTheExchangeInFlightWithEveryRoundInHistory) {
  auto sim = StartSim({"--values", kValuesArg, vu7sim::kSlowEvery, "1", vu7sim::kSlowMs, "300"});
  // No pause between rounds, so that the signal almost always finds an exchange under way.
  auto devhost = StartDevhost(Config({Device("room-1", 1201, SerialBus(3000))}), {"--interval", "0"});
  ASSERT_TRUE(WaitFor([&] { return Count("record") >= 2; }, kPatience)) << ReadFile(err());
  devhost->Signal(GetParam());
  EXPECT_EQ(Finish(*devhost), 0);

  const std::size_t requests = Occurrences(ReadFile(dir_ / "sim.log"), "slow reply");
  EXPECT_EQ(Count("record"), requests);
  EXPECT_EQ(History(history()).size(), requests);
  EXPECT_EQ(Count("error"), 0u);
  EXPECT_NE(ReadFile(err()).find(std::to_string(requests) + " history rows"), std::string::npos) << ReadFile(err());
}

INSTANTIATE_TEST_SUITE_P(Signals, Stop, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? "Sigterm" : "Sigint";
                         });

}  // namespace
}  // namespace e2e
