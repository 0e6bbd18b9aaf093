// Faults through vu7-sim, the value request's time-out under a fast clock, and devhost killed with SIGKILL.
// Each fault must leave devhost polling, the device's state in step with what the simulator served and
// every completed round in the history. The tests print "figures:" lines with what they injected and
// what was stored.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "e2e_fixture.h"
#include "vu7_sim_protocol.h"

namespace e2e {
namespace {

// An attempt to reopen the line, as opposed to a poll while the line waits for its next attempt.
const char kReopenFailed[] = "failed: cannot open serial port";

void Figure(const std::string& text) { std::cout << "figures: " << text << std::endl; }

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

Bytes Registers(const Bytes& record) {
  return record.size() < 14 ? Bytes() : Bytes(record.begin() + 4, record.begin() + 14);
}

// Seconds of a local date and time on a count without time zones: only differences are taken.
std::int64_t Seconds(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1970-01-01 in the proleptic Gregorian calendar.
  year -= month <= 2 ? 1 : 0;
  const int era = (year >= 0 ? year : year - 399) / 400;
  const int yoe = year - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

// An event's "time", "YYYY-MM-DDTHH:MM:SS.mmm", in whole seconds.
std::int64_t EventSeconds(const Json::Value& event) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  EXPECT_EQ(std::sscanf(event["time"].asCString(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6) << event;
  return Seconds(y, mo, d, h, mi, s);
}

std::int64_t EventMilliseconds(const Json::Value& event) {
  const std::string time = event["time"].asString();
  return EventSeconds(event) * 1000 + std::stoi(time.substr(time.rfind('.') + 1));
}

// The record's time stamp: the round's local time, as the plug-in's value request sees it.
std::int64_t StampSeconds(const Bytes& r) {
  return r.size() < 21 ? 0 : Seconds(r[14] | r[15] << 8, r[16], r[17], r[18], r[19], r[20]);
}

// The numbers after "request " in the simulator's lines that contain marker.
std::vector<long> Requests(const fs::path& log, const std::string& marker) {
  std::vector<long> requests;
  for (const std::string& line : Lines(log)) {
    const std::size_t at = line.find("request ");
    if (at != std::string::npos && line.find(marker) != std::string::npos) {
      requests.push_back(std::stol(line.substr(at + 8)));
    }
  }
  return requests;
}

std::string IntegrityCheck(const fs::path& db) {
  sqlite3* handle = nullptr;
  std::string result;
  // Read-write, as the next devhost would open it: a WAL left by a killed writer is recovered.
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(handle, 2000);
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &query, nullptr) == SQLITE_OK) {
      while (sqlite3_step(query) == SQLITE_ROW) {
        if (!result.empty()) result += "; ";
        result += reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
      }
    }
    if (result.empty()) result = sqlite3_errmsg(handle);
    sqlite3_finalize(query);
  } else {
    result = handle != nullptr ? sqlite3_errmsg(handle) : "cannot open";
  }
  sqlite3_close(handle);
  return result;
}

class FaultE2E : public HostE2E {
 protected:
  // The readings of round r are those of the first round of the same second: the plug-in regenerates
  // them once a second. They must be the values of that record, never of a failed exchange.
  static void ExpectReadingsFollowRecords(const std::vector<Json::Value>& records,
                                          const std::vector<Json::Value>& readings) {
    std::map<int, Bytes> by_round;
    std::map<std::int64_t, Bytes> first_of_second;
    for (const Json::Value& r : records) {
      const Bytes record = FromHex(r["hex"].asString());
      by_round[r["round"].asInt()] = record;
      first_of_second.emplace(StampSeconds(record), record);
    }
    std::vector<int> rounds;
    for (const Json::Value& r : readings) {
      const int round = r["round"].asInt();
      rounds.push_back(round);
      ASSERT_EQ(by_round.count(round), 1u) << "readings of round " << round << " without its record";
      const Bytes& b = first_of_second[StampSeconds(by_round[round])];
      const Json::Value& v = r["readings"];
      SCOPED_TRACE("readings of round " + std::to_string(round));
      EXPECT_FLOAT_EQ(v["湿度"].asFloat(), static_cast<float>(b[4] | b[5] << 8) / 10.0f);
      EXPECT_FLOAT_EQ(v["温度"].asFloat(), static_cast<float>(b[6] | b[7] << 8) / 10.0f);
      EXPECT_FLOAT_EQ(v["PM2点5"].asFloat(), static_cast<float>(b[8] | b[9] << 8));
      EXPECT_FLOAT_EQ(v["PM10"].asFloat(), static_cast<float>(b[10] | b[11] << 8));
      EXPECT_FLOAT_EQ(v["PM1点0"].asFloat(), static_cast<float>(b[12] | b[13] << 8));
    }
    std::vector<int> recorded;
    for (const auto& r : by_round) recorded.push_back(r.first);
    EXPECT_EQ(rounds, recorded) << "every completed round, and only those, gives its readings";
  }

  // The history holds every record, byte for byte, in order.
  void ExpectHistoryHoldsRecords(const std::vector<Json::Value>& records) const {
    const std::vector<HistoryRow> rows = History(history());
    ASSERT_EQ(rows.size(), records.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].record, FromHex(records[i]["hex"].asString())) << "row " << i + 1;
      EXPECT_EQ(rows[i].device, records[i]["device"].asString());
    }
  }

  // The answer an "error" event must carry: not ready before the first record, fresh after one.
  static void ExpectValueAnswers(const std::vector<Json::Value>& errors, const std::vector<Json::Value>& records) {
    for (const Json::Value& e : errors) {
      const bool ready = std::any_of(records.begin(), records.end(),
                                     [&](const Json::Value& r) { return r["round"].asInt() < e["round"].asInt(); });
      EXPECT_EQ(e["value"].asString(), ready ? "不支持变量" : "数据未就绪") << e;
    }
  }
};

// Every kind of fault in turn, each against a devhost that runs until it is stopped. vu7-sim numbers the
// requests it receives from 1, so request W + r is the read of round r after W writes: the round's record
// must hold what the simulator served for exactly that request, a fault must cost exactly its own round,
// and nothing else may be lost.
TEST_F(FaultE2E, EachLeavesDevhostPollingTheDeviceConsistentAndEveryRoundStored) {
  const int kServed = vu7sim::kDefaultSlave;
  const int kForeign = vu7sim::ForeignSlave(kServed);
  const std::vector<std::string> kNone;
  const std::vector<int> kNoOutcomes;
  struct Case {
    const char* kind;
    std::vector<std::string> sim;
    std::string error;  // part of every "error" event's "what"
    bool tcp;
    int timeout_ms;
    int slave;
    std::vector<std::string> writes;
    std::vector<int> outcomes;  // of the writes
    int backoff_max_ms;         // > 0: the simulator goes away and a new one comes, on the same link
  } cases[] = {
      {"time-out (no reply)", {vu7sim::kNoReplyEvery, "3"}, "Connection timed out", false, 500, kServed, kNone,
       kNoOutcomes, 0},
      // Slower than the time-out: the late reply must not pass for the next request's.
      {"time-out (late reply)", {vu7sim::kSlowEvery, "3", vu7sim::kSlowMs, "1500"}, "Connection timed out", false,
       1000, kServed, kNone, kNoOutcomes, 0},
      {"time-out (late reply), TCP", {vu7sim::kSlowEvery, "3", vu7sim::kSlowMs, "1500"}, "Connection timed out", true,
       1000, kServed, kNone, kNoOutcomes, 0},
      {"exception reply", {vu7sim::kExceptionEvery, "3"}, "busy", false, 500, kServed, kNone, kNoOutcomes, 0},
      {"garbled frame", {vu7sim::kGarbleEvery, "3"}, "Invalid CRC", false, 500, kServed, kNone, kNoOutcomes, 0},
      {"reply from another slave", {vu7sim::kWrongSlaveEvery, "3"}, "reply from another slave", false, 500, kServed,
       kNone, kNoOutcomes, 0},
      {"reply from another slave, TCP", {vu7sim::kWrongSlaveEvery, "3"}, "reply from slave " + std::to_string(kForeign),
       true, 500, kServed, kNone, kNoOutcomes, 0},
      {"slave id nobody answers", kNone, "Connection timed out", false, 300, kForeign, kNone, kNoOutcomes, 0},
      {"wrong echo", {vu7sim::kWrongEcho}, "", false, 500, kServed, {"room-1:5=300", "room-1:6=7,8"}, {3, 3}, 0},
      {"port vanishes, back-off capped below its first step", kNone, "", false, 500, kServed, kNone, kNoOutcomes, 300},
      {"port vanishes, back-off growing", kNone, "", false, 500, kServed, kNone, kNoOutcomes, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    ForgetRun();
    std::unique_ptr<Process> sim = c.tcp ? StartTcpSim(c.sim) : StartSim(c.sim);
    Json::Value bus = c.tcp ? TcpBus(c.slave, c.timeout_ms) : SerialBus(c.timeout_ms);
    bus["slave"] = c.slave;
    if (c.backoff_max_ms > 0) bus["backoffMaxMs"] = c.backoff_max_ms;
    std::vector<std::string> args{"--interval", "0.05"};
    for (const std::string& w : c.writes) args.insert(args.end(), {"--write", w});
    auto devhost = StartDevhost(Config({Device("room-1", 1201, bus)}), args);

    const bool vanish = c.backoff_max_ms > 0;
    const bool answers = c.slave == kServed;
    // Rounds recorded after the last error seen.
    const auto records_after_errors = [&] {
      const std::vector<Json::Value> errors = Events(out(), "error");
      const int last = errors.empty() ? 0 : errors.back()["round"].asInt();
      std::size_t n = 0;
      for (const Json::Value& r : Events(out(), "record")) n += r["round"].asInt() > last ? 1 : 0;
      return n;
    };
    std::size_t reopen_attempts = 0;
    if (vanish) {
      ASSERT_TRUE(WaitFor([&] { return Count("record") >= 2; }, kPatience)) << ReadFile(err());
      // SIGTERM: the simulator removes its link on the way out, so that reopening finds no port at all.
      sim->Signal(SIGTERM);
      ASSERT_TRUE(sim->Wait(kPatience).has_value());
      const auto attempts = [&] { return Occurrences(ReadFile(out()), kReopenFailed); };
      ASSERT_TRUE(WaitFor([&] { return attempts() >= 3; }, kPatience)) << ReadFile(out());
      sim = StartSim(c.sim, "sim2.log");
      ASSERT_TRUE(WaitFor([&] { return Count("error") > 0 && records_after_errors() >= 2; }, kPatience))
          << ReadFile(out());
      reopen_attempts = attempts();
    } else if (answers && !c.error.empty()) {
      ASSERT_TRUE(WaitFor([&] { return Count("error") >= 2 && records_after_errors() >= 2; }, kPatience))
          << ReadFile(err());
    } else if (answers) {
      ASSERT_TRUE(WaitFor([&] { return Count("record") >= 3; }, kPatience)) << ReadFile(err());
    } else {
      ASSERT_TRUE(WaitFor([&] { return Count("error") >= 3; }, kPatience)) << ReadFile(err());
    }
    ASSERT_TRUE(devhost->Running()) << ReadFile(err());
    devhost->Signal(SIGTERM);
    ASSERT_EQ(Finish(*devhost), 0);

    const std::vector<Json::Value> records = Events(out(), "record");
    const std::vector<Json::Value> errors = Events(out(), "error");
    const std::vector<Json::Value> control = Events(out(), "control");
    const int writes = static_cast<int>(c.writes.size());
    // One poll a round throughout: recorded and failed rounds together make 1, 2, 3, ... without a gap
    // and without a round that is both.
    std::vector<int> polled;
    std::set<int> failed_rounds;
    for (const Json::Value& r : records) polled.push_back(r["round"].asInt());
    for (const Json::Value& e : errors) {
      if (e["round"].asInt() > 0) polled.push_back(e["round"].asInt());
      if (e["round"].asInt() > 0) failed_rounds.insert(e["round"].asInt());
    }
    std::sort(polled.begin(), polled.end());
    for (std::size_t i = 0; i < polled.size(); ++i) ASSERT_EQ(polled[i], static_cast<int>(i + 1)) << ReadFile(out());

    // Each round's record holds the registers served for its own request.
    std::map<long, SimulatorRead> served;
    for (const SimulatorRead& read : SimulatorReads(dir_ / "sim.log")) served[read.request] = read;
    std::vector<Bytes> later;  // after the port came back: the new simulator's reads, in order
    for (const SimulatorRead& read : SimulatorReads(dir_ / "sim2.log")) later.push_back(LittleEndian(read.values));
    const int first_error = errors.empty() ? 0 : errors.front()["round"].asInt();
    std::vector<Bytes> recorded_later;
    for (const Json::Value& r : records) {
      const int round = r["round"].asInt();
      const Bytes registers = Registers(FromHex(r["hex"].asString()));
      if (vanish && round > first_error) {
        recorded_later.push_back(registers);
        continue;
      }
      ASSERT_EQ(served.count(writes + round), 1u) << "round " << round << " has a record the simulator did not serve";
      EXPECT_EQ(registers, LittleEndian(served[writes + round].values)) << "round " << round;
    }
    if (vanish) {
      EXPECT_EQ(recorded_later, later);
    }

    // A fault costs its own round: the failed rounds are exactly those whose request the simulator spoiled.
    std::set<int> spoiled;
    for (long request : Requests(dir_ / "sim.log", "(fault)")) {
      if (request > writes) spoiled.insert(static_cast<int>(request - writes));
    }
    std::size_t injected = 0;
    if (vanish) {
      injected = 1;
      ASSERT_FALSE(errors.empty());
      EXPECT_NE(errors.front()["what"].asString().find("closed, to be reopened"), std::string::npos) << errors.front();
      // No more than one attempt to reopen per back-off step, and no step longer than the cap.
      std::vector<std::int64_t> attempts;
      for (const Json::Value& e : errors) {
        const std::string what = e["what"].asString();
        if (what.find(kReopenFailed) != std::string::npos) attempts.push_back(EventMilliseconds(e));
        const std::size_t at = what.find("next attempt in ");
        if (at != std::string::npos) {
          EXPECT_LE(std::stoi(what.substr(at + 16)), c.backoff_max_ms) << what;
        }
      }
      ASSERT_EQ(attempts.size(), reopen_attempts);
      std::int64_t step = std::min(500, c.backoff_max_ms);
      for (std::size_t i = 1; i < attempts.size(); ++i) {
        // Event times are taken a little after each attempt; polling without back-off would be 50 ms apart.
        EXPECT_GE(attempts[i] - attempts[i - 1], step - 20) << "attempt " << i + 1;
        step = std::min<std::int64_t>(step * 2, c.backoff_max_ms);
      }
    } else if (answers) {
      EXPECT_EQ(failed_rounds, spoiled);
      injected = Requests(dir_ / "sim.log", "(fault)").size();
    } else {
      EXPECT_EQ(records.size(), 0u);
      injected = errors.size();
    }
    for (const Json::Value& e : errors) {
      if (!vanish) {
        EXPECT_NE(e["what"].asString().find(c.error), std::string::npos) << e;
      }
    }
    ExpectValueAnswers(errors, records);
    ExpectReadingsFollowRecords(records, Events(out(), "readings"));
    ExpectHistoryHoldsRecords(records);
    // The plug-in heard of every failed exchange.
    EXPECT_EQ(Occurrences(ReadFile(err()), "SPModbus get error\n"), errors.size());

    std::vector<int> outcomes;
    for (const Json::Value& w : control) outcomes.push_back(w["outcome"].asInt());
    EXPECT_EQ(outcomes, c.outcomes);

    // Survived: devhost polled again after the fault, or was stopped right after it and ended normally.
    const int last_round = polled.empty() ? 0 : polled.back();
    std::size_t survived = 0;
    if (vanish) {
      survived = records.size() > 0 && records.back()["round"].asInt() > first_error ? 1 : 0;
    } else if (answers) {
      for (long request : Requests(dir_ / "sim.log", "(fault)")) survived += request - writes < last_round ? 1 : 0;
      survived += spoiled.count(last_round);
    } else {
      survived = errors.size();
    }
    EXPECT_EQ(survived, injected);
    Figure(std::string(c.kind) + ": injected " + std::to_string(injected) + ", survived " + std::to_string(survived) +
           "; rounds completed " + std::to_string(records.size()) + ", saved " +
           std::to_string(History(history()).size()));
  }
}

// The device's value request says "数据已超时" once its last round is more than 60 seconds old. devhost
// runs under libfaketime with its clocks 60 times as fast (one real second a minute), the simulator is
// stopped, and the answer is read from devhost's "error" events.
TEST_F(FaultE2E, ValueRequestTimesOutAfterAMinuteOfSilence) {
  if (std::string(LIBFAKETIME).empty()) GTEST_SKIP() << "libfaketime not found (Debian package faketime)";
  auto sim = StartSim({vu7sim::kExceptionEvery, "4"});
  // libfaketime shortens the waits as well: 60 s of time-out is one real second.
  const fs::path config = Config({Device("room-1", 1201, SerialBus(60000))});
  const char* asan = std::getenv("ASAN_OPTIONS");
  // A preloaded library comes before the sanitizer's run-time, which it would refuse.
  const std::string asan_options =
      std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
  Process devhost(
      {"/usr/bin/env", std::string("LD_PRELOAD=") + LIBFAKETIME, "FAKETIME=+0 x60", asan_options, DEVHOST, "-C",
       dir_.path().string(), "--config", config.string(), "--history", history().string(), "--interval", "0.05"},
      out(), err());
  const auto with_answer = [&](const std::string& answer, int after_round) {
    for (const Json::Value& e : Events(out(), "error"))
      if (e["value"].asString() == answer && e["round"].asInt() > after_round) return e["round"].asInt();
    return 0;
  };
  ASSERT_TRUE(WaitFor([&] { return with_answer("不支持变量", 0) > 0; }, kPatience)) << ReadFile(err());

  sim->Signal(SIGSTOP);
  const auto silent = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return with_answer("数据已超时", 0) > 0; }, kPatience)) << ReadFile(out());
  const auto shown_after = std::chrono::steady_clock::now() - silent;
  const int timed_out = with_answer("数据已超时", 0);
  sim->Signal(SIGCONT);
  // Answered again: a new record, then an exception reply that finds the data fresh.
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const Json::Value& r : Events(out(), "record"))
          if (r["round"].asInt() > timed_out) return with_answer("不支持变量", r["round"].asInt()) > 0;
        return false;
      },
      kPatience))
      << ReadFile(out());
  devhost.Signal(SIGTERM);
  ASSERT_EQ(Finish(devhost), 0);

  // Every answer agrees with the age of the last record at the time of the event. The event's time is
  // taken just after the answer, so a fresh answer may carry a time a little later than 60 s.
  const std::vector<Json::Value> records = Events(out(), "record");
  std::int64_t longest_fresh = -1;
  std::int64_t shortest_stale = -1;
  for (const Json::Value& e : Events(out(), "error")) {
    const Json::Value* last = nullptr;
    for (const Json::Value& r : records)
      if (r["round"].asInt() < e["round"].asInt()) last = &r;
    ASSERT_NE(last, nullptr) << e;
    const std::int64_t age = EventSeconds(e) - StampSeconds(FromHex((*last)["hex"].asString()));
    const std::string answer = e["value"].asString();
    if (answer == "数据已超时") {
      EXPECT_GE(age, 61) << e;
      shortest_stale = shortest_stale < 0 ? age : std::min(shortest_stale, age);
    } else {
      EXPECT_EQ(answer, "不支持变量") << e;
      EXPECT_LE(age, 65) << e;
      longest_fresh = std::max(longest_fresh, age);
    }
  }
  ExpectHistoryHoldsRecords(records);
  const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(shown_after).count();
  EXPECT_LT(real_ms, 60000);
  Figure("value request: \"数据已超时\" first at " + std::to_string(shortest_stale) + " s of silence (fast clock), " +
         std::to_string(real_ms) + " ms of real time after the simulator stopped; \"不支持变量\" up to " +
         std::to_string(longest_fresh) + " s; rounds completed " + std::to_string(records.size()) + ", saved " +
         std::to_string(History(history()).size()));
}

// SIGKILL at four points of a busy run (no pause between rounds), each run on the history the last
// killed one left: the file checks out and holds every round reported before the kill. A round's row is
// stored between its record and its readings; devhost may write a round's events as they come or all
// together after the round, so a kill may leave one round with a record but no row (and then no
// readings), or one with a row whose events never came out. Nothing else may differ.
TEST_F(FaultE2E, SigkillLosesNoCompletedRound) {
  auto sim = StartSim({});
  const fs::path config = Config({Device("room-1", 1201, SerialBus())});
  std::size_t stored = 0;     // rows of the runs before
  std::size_t completed = 0;  // rounds with a record and readings before the kill
  std::size_t reported = 0;   // records before the kill
  std::size_t unreported = 0;
  std::size_t unstored = 0;
  // When to kill: once so many records are out, or so many "rvSize" lines, which the plug-in prints just
  // before it hands its record to the history: then the kill tends to find the row being stored.
  const struct {
    std::size_t count;
    bool storing;
  } kills[] = {{3, false}, {12, true}, {30, false}, {40, true}};
  for (const auto& kill : kills) {
    const std::size_t kill_after = kill.count;
    SCOPED_TRACE("killed after " + std::to_string(kill_after) + (kill.storing ? " rvSize lines" : " records"));
    auto devhost = StartDevhost(config, {"--interval", "0"});
    ASSERT_TRUE(WaitFor(
        [&] { return (kill.storing ? Occurrences(ReadFile(err()), "rvSize is") : Count("record")) >= kill_after; },
        kPatience))
        << ReadFile(err());
    devhost->Signal(SIGKILL);
    const std::optional<int> status = devhost->Wait(kPatience);
    ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);

    ASSERT_EQ(IntegrityCheck(history()), "ok");
    const std::vector<Json::Value> records = Events(out(), "record");
    std::set<int> with_readings;
    for (const Json::Value& r : Events(out(), "readings")) with_readings.insert(r["round"].asInt());
    const std::vector<HistoryRow> all = History(history());
    ASSERT_GE(all.size(), stored);
    const std::vector<HistoryRow> rows(all.begin() + static_cast<std::ptrdiff_t>(stored), all.end());
    ASSERT_GE(records.size() + (kill.storing ? 1 : 0), kill_after);
    ASSERT_LE(rows.size(), records.size() + 1) << ReadFile(err());
    ASSERT_GE(rows.size() + 1, records.size()) << Events(out(), "error").size() << " errors\n" << ReadFile(err());
    for (std::size_t i = 0; i < std::min(rows.size(), records.size()); ++i) {
      EXPECT_EQ(rows[i].record, FromHex(records[i]["hex"].asString())) << "row " << stored + i + 1;
    }
    if (rows.size() < records.size()) {
      EXPECT_EQ(with_readings.count(records.back()["round"].asInt()), 0u) << "a round with readings is not stored";
      ++unstored;
    }
    unreported += rows.size() > records.size() ? 1 : 0;
    for (const Json::Value& r : records) completed += with_readings.count(r["round"].asInt());
    reported += records.size();
    stored = all.size();
  }
  Figure("SIGKILL: " + std::to_string(std::size(kills)) + " kills, integrity_check ok after each; rounds reported " +
         std::to_string(reported) + " (" + std::to_string(completed) + " with their readings), saved " +
         std::to_string(stored) + "; " + std::to_string(unstored) + " reported but cut short before its row, " +
         std::to_string(unreported) + " stored but cut short before its events");
}

}  // namespace
}  // namespace e2e
