// The per-round signal checks and the analog-output change reports.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "device_fixture.h"

namespace {

namespace pt = boost::posix_time;
using Setting = ZadeVDevice::BAOSetting;
using Lines = std::vector<std::string>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Setting abs_band(float band, float last) {
  Setting s;
  s.abs_enabled = true;
  s.abs_band = band;
  s.last_value = last;
  return s;
}

Setting pct_band(float band, float last) {
  Setting s;
  s.pct_enabled = true;
  s.pct_band = band;
  s.last_value = last;
  return s;
}

Setting period(float minutes, std::uint32_t last_report_time) {
  Setting s;
  s.period_enabled = true;
  s.period_minutes = minutes;
  s.last_report_time = last_report_time;
  return s;
}

bool same_float(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same(const Setting& a, const Setting& b) {
  return a.abs_enabled == b.abs_enabled && same_float(a.abs_band, b.abs_band) && a.pct_enabled == b.pct_enabled &&
         same_float(a.pct_band, b.pct_band) && a.period_enabled == b.period_enabled &&
         same_float(a.period_minutes, b.period_minutes) && a.last_report_time == b.last_report_time &&
         same_float(a.last_value, b.last_value);
}

std::string text(float value) {
  std::ostringstream out;
  out << std::setprecision(9) << value;
  return out.str();
}

// The two host calls of a signal check, as "CheckThreshold id name kind = value" and "CheckAOReport id = value".
std::string threshold(const std::string& id, const std::string& name, float value) {
  return "CheckThreshold " + id + " " + name + " 1 = " + text(value);
}
std::string report(const std::string& id, float value) { return "CheckAOReport " + id + " = " + text(value); }

Lines checks() {
  Lines out;
  for (const rec::Call& c : rec::log()) {
    if (c.fn != "CheckThreshold" && c.fn != "CheckAOReport") continue;
    std::string line = c.fn;
    for (const std::string& arg : c.args) line += " " + arg;
    out.push_back(line + " = " + text(c.value));
  }
  return out;
}

class ChecksTest : public DeviceTest {
 protected:
  // One poll round with these register words (humidity, temperature in tenths, PM2.5, PM10, PM1.0); the
  // readings are regenerated even within the second of the round before. Returns the console output.
  std::string round(std::vector<unsigned short> words) {
    dev.json_time_ = pt::ptime();
    return same_second_round(std::move(words));
  }
  std::string same_second_round(std::vector<unsigned short> words) {
    dev.tab_ = 11;
    capture();
    dev.reply(std::move(words));
    return captured();
  }

  // Whether a setting reports at `elapsed` whole seconds after its last report, taken within one second
  // of the clock; empty when the clock ticked meanwhile.
  std::optional<bool> due_after(float minutes, std::int64_t elapsed) {
    const std::time_t start = std::time(nullptr);
    dev.bao_settings_ = {{"S", period(minutes, static_cast<std::uint32_t>(start - elapsed))}};
    const bool reported = dev.CheckAOReport("D", "S", 1.0f);
    if (std::time(nullptr) != start) return std::nullopt;
    return reported;
  }
};

TEST_F(ChecksTest, BandEdgesAndNeverReportedSettings) {
  struct Case {
    const char* what;
    Setting setting;
    float value;
    bool reports;
  };
  const float inf = std::numeric_limits<float>::infinity();
  // Bounds are single precision in the written order: 0.1f + 0.2f rounds up to 0.3f, above the exact sum,
  // and 7.7f * 112.5f / 100 lands on 0x1.153334p+3f where the double or the regrouped product lies lower.
  const Case cases[] = {
      {"on last + abs", abs_band(2.5f, 20.0f), 22.5f, false},
      {"beyond last + abs", abs_band(2.5f, 20.0f), std::nextafter(22.5f, inf), true},
      {"on last - abs", abs_band(2.5f, 20.0f), 17.5f, false},
      {"beyond last - abs", abs_band(2.5f, 20.0f), std::nextafter(17.5f, -inf), true},
      {"inside the abs band", abs_band(2.5f, 20.0f), 21.0f, false},
      {"on a rounded abs bound", abs_band(0.2f, 0.1f), 0.3f, false},
      {"beyond a rounded abs bound", abs_band(0.2f, 0.1f), std::nextafter(0.3f, inf), true},
      {"on the upper pct bound", pct_band(10.0f, 50.0f), 55.0f, false},
      {"beyond the upper pct bound", pct_band(10.0f, 50.0f), std::nextafter(55.0f, inf), true},
      {"on the lower pct bound", pct_band(10.0f, 50.0f), 45.0f, false},
      {"beyond the lower pct bound", pct_band(10.0f, 50.0f), std::nextafter(45.0f, -inf), true},
      {"on a rounded upper pct bound", pct_band(12.5f, 7.7f), 0x1.153334p+3f, false},
      {"beyond a rounded upper pct bound", pct_band(12.5f, 7.7f), std::nextafter(0x1.153334p+3f, inf), true},
      {"on a rounded lower pct bound", pct_band(12.5f, 7.7f), 0x1.af3334p+2f, false},
      {"beyond a rounded lower pct bound", pct_band(12.5f, 7.7f), std::nextafter(0x1.af3334p+2f, -inf), true},
      {"never reported, abs, 0", abs_band(0.0f, 0.0f), 0.0f, false},
      {"never reported, abs, -0", abs_band(0.0f, 0.0f), -0.0f, false},
      {"never reported, abs, tiny", abs_band(0.0f, 0.0f), std::numeric_limits<float>::denorm_min(), true},
      {"never reported, abs, negative", abs_band(0.0f, 0.0f), -0.25f, true},
      {"never reported, pct, 0", pct_band(10.0f, 0.0f), 0.0f, false},
      {"never reported, pct, tiny", pct_band(10.0f, 0.0f), 1e-30f, true},
      {"never reported, pct, negative", pct_band(10.0f, 0.0f), -1e-30f, true},
      {"never reported, period", period(5.0f, 0), 0.0f, true},
      {"every check off", Setting(), 1e30f, false},
      {"negative last, pct, on last", pct_band(10.0f, -10.0f), -10.0f, true},
      {"negative last, pct, first bound", pct_band(10.0f, -10.0f), -11.0f, true},
      {"negative last, pct, second bound", pct_band(10.0f, -10.0f), -9.0f, true},
      {"negative last, pct, far above", pct_band(10.0f, -10.0f), 1000.0f, true},
      {"0 is a value", abs_band(1.0f, 5.0f), 0.0f, true},
      {"NaN, abs", abs_band(0.0f, 0.0f), kNaN, false},
      {"NaN, pct", pct_band(10.0f, 0.0f), kNaN, false},
      {"NaN last value", abs_band(1.0f, kNaN), 5.0f, false},
      {"NaN band", pct_band(kNaN, 5.0f), 100.0f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rec::reset();
    dev.bao_settings_ = {{"S", c.setting}};
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(dev.CheckAOReport("D", "S", c.value), c.reports);
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(dev.bao_settings_.size(), 1u);
    const Setting& s = dev.bao_settings_.at("S");
    if (!c.reports) {
      EXPECT_TRUE(checks().empty());
      EXPECT_TRUE(same(s, c.setting));
      continue;
    }
    EXPECT_EQ(checks(), Lines{report("S", c.value)});
    Setting expected = c.setting;
    expected.last_value = c.value;
    expected.last_report_time = s.last_report_time;
    EXPECT_TRUE(same(s, expected));
    EXPECT_GE(s.last_report_time, static_cast<std::uint32_t>(before));
    EXPECT_LE(s.last_report_time, static_cast<std::uint32_t>(after));
  }
}

TEST_F(ChecksTest, PeriodComesDueTheSecondAfterItEnds) {
  struct Case {
    float minutes;
    std::int64_t first_due;  // whole seconds since the last report
  };
  // 1/60 of a minute in float is a hair above one second, the float below it a hair under.
  const Case cases[] = {{1.0f, 61},
                        {0.5f, 31},
                        {3.0f, 181},
                        {0.0f, 1},
                        {1.0f / 60.0f, 2},
                        {std::nextafter(1.0f / 60.0f, 0.0f), 1}};
  for (const Case& c : cases) {
    // Wide enough to cross 128-second steps; negative values put the last report in the future.
    for (std::int64_t elapsed = -200; elapsed <= c.first_due + 200; ++elapsed) {
      std::optional<bool> due;
      while (!(due = due_after(c.minutes, elapsed))) {
      }
      ASSERT_EQ(*due, elapsed >= c.first_due) << c.minutes << " minutes, " << elapsed << " s";
    }
  }
  rec::log().clear();
  dev.bao_settings_ = {{"S", period(1.0f, 0xFFFFFFFFu)}};
  EXPECT_FALSE(dev.CheckAOReport("D", "S", 1.0f));
  dev.bao_settings_ = {{"S", period(1e30f, 0)}};
  EXPECT_FALSE(dev.CheckAOReport("D", "S", 1.0f));
  dev.bao_settings_ = {{"S", period(kNaN, 0)}};
  EXPECT_FALSE(dev.CheckAOReport("D", "S", 1.0f));
  EXPECT_TRUE(checks().empty());
}

TEST_F(ChecksTest, SettingUnderTheDerivedIdIsCopiedOnceThenTheCopyIsUsed) {
  dev.ai_signals_ = {{"PM10", {"S205000021", "pm10"}}};
  Setting derived = abs_band(5.0f, 30.0f);
  derived.period_minutes = 7.0f;  // carried along although its check is off
  derived.last_report_time = 1234;
  dev.bao_settings_ = {{"S206000011", derived}};

  round({0, 0, 0, 33, 0});  // inside the copied band: no report, but the copy is made
  EXPECT_EQ(checks(), Lines{threshold("S206000011", "pm10", 33.0f)});
  ASSERT_EQ(dev.bao_settings_.count("S205000021"), 1u);
  EXPECT_TRUE(same(dev.bao_settings_.at("S205000021"), derived));

  rec::log().clear();
  round({0, 0, 0, 40, 0});
  EXPECT_EQ(checks(), (Lines{threshold("S206000011", "pm10", 40.0f), report("S205000021", 40.0f)}));
  EXPECT_EQ(dev.bao_settings_.at("S205000021").last_value, 40.0f);

  // 43 is inside the copy's band around 40 but outside the original's around 30.
  rec::log().clear();
  round({0, 0, 0, 43, 0});
  EXPECT_EQ(checks(), Lines{threshold("S206000011", "pm10", 43.0f)});
  rec::log().clear();
  round({0, 0, 0, 46, 0});
  EXPECT_EQ(checks(), (Lines{threshold("S206000011", "pm10", 46.0f), report("S205000021", 46.0f)}));

  EXPECT_EQ(dev.bao_settings_.size(), 2u);
  EXPECT_TRUE(same(dev.bao_settings_.at("S206000011"), derived));
  EXPECT_EQ(dev.bao_settings_.at("S205000021").last_value, 46.0f);
}

TEST_F(ChecksTest, IdAlreadyCarryingSixAndOneNeverCopies) {
  dev.ai_signals_ = {{"PM10", {"S206000011", "pm10"}}};
  round({0, 0, 0, 40, 0});
  EXPECT_EQ(checks(), Lines{threshold("S206000011", "pm10", 40.0f)});
  EXPECT_TRUE(dev.bao_settings_.empty());

  rec::log().clear();
  dev.bao_settings_ = {{"S206000011", abs_band(1.0f, 0.0f)}};
  round({0, 0, 0, 41, 0});
  EXPECT_EQ(checks(), (Lines{threshold("S206000011", "pm10", 41.0f), report("S206000011", 41.0f)}));
  EXPECT_EQ(dev.bao_settings_.size(), 1u);
  EXPECT_EQ(dev.bao_settings_.at("S206000011").last_value, 41.0f);
}

TEST_F(ChecksTest, NoSettingUnderEitherIdCreatesNothing) {
  dev.ai_signals_ = {{"PM10", {"S205000021", "pm10"}}};
  dev.bao_settings_ = {{"S205000022", period(1.0f, 0)}, {"S206000012", period(1.0f, 0)}};
  const auto before = dev.bao_settings_;
  round({0, 0, 0, 40, 0});
  EXPECT_EQ(checks(), Lines{threshold("S206000011", "pm10", 40.0f)});
  ASSERT_EQ(dev.bao_settings_.size(), before.size());
  for (const auto& entry : before) EXPECT_TRUE(same(dev.bao_settings_.at(entry.first), entry.second)) << entry.first;
  EXPECT_FALSE(dev.CheckAOReport("D", "S", 1.0f));
  EXPECT_EQ(dev.bao_settings_.size(), before.size());
}

TEST_F(ChecksTest, HostSeesDerivedIdsForThresholdsAndSignalIdsForReportsInKeyOrder) {
  // Key order is byte order: "PM10" < "PM1点0" < "PM2点5" < "温度" < "湿度".
  dev.ai_signals_ = {{"湿度", {"S205000025", "hum"}},
                     {"温度", {"S205000024", "temp"}},
                     {"PM2点5", {"S205000023", "pm25"}},
                     {"PM1点0", {"S205000022", "pm1"}},
                     {"PM10", {"S205000021", "pm10"}}};
  for (const auto& signal : dev.ai_signals_) dev.bao_settings_[signal.second.first] = period(1.0f, 0);
  const std::string out = round({525, 250, 0, 40, 20});
  EXPECT_EQ(out, "rvSize is 0\n");
  EXPECT_EQ(checks(), (Lines{threshold("S206000011", "pm10", 40.0f), report("S205000021", 40.0f),
                             threshold("S206000012", "pm1", 20.0f), report("S205000022", 20.0f),
                             threshold("S206000013", "pm25", 0.0f), report("S205000023", 0.0f),
                             threshold("S206000014", "temp", 25.0f), report("S205000024", 25.0f),
                             threshold("S206000015", "hum", 52.5f), report("S205000025", 52.5f)}));
  // The checks run between the readings' regeneration and the batch check.
  const Lines names = rec::names();
  const Lines tail(names.end() - 13, names.end());
  EXPECT_EQ(tail.front(), "GenJsonData");
  EXPECT_EQ(Lines(tail.end() - 2, tail.end()), (Lines{"DoBatchCheckThreshold", "SaveDeviceHistory"}));
  EXPECT_EQ(dev.ai_signals_.at("PM10"), (std::pair<std::string, std::string>{"S205000021", "pm10"}));
}

TEST_F(ChecksTest, ReadingMissingFromTheJsonBecomesNullAndIsSkipped) {
  dev.ai_signals_ = {{"PM10", {"S205000021", "pm10"}}, {"风速", {"S205000029", "wind"}}};
  dev.bao_settings_ = {{"S205000029", period(1.0f, 0)}};
  round({0, 0, 0, 40, 0});
  EXPECT_EQ(checks(), Lines{threshold("S206000011", "pm10", 40.0f)});
  ASSERT_TRUE(dev.json_data_.isMember("风速"));
  EXPECT_TRUE(dev.json_data_["风速"].isNull());
  EXPECT_EQ(dev.bao_settings_.at("S205000029").last_report_time, 0u);
}

TEST_F(ChecksTest, ShortIdsAndReadingsThatAreNoNumberAreSkippedAndTheRoundCompletes) {
  dev.ai_signals_ = {{"PM10", {"S2050000", "pm10"}},  // eight characters
                     {"PM2点5", {"S2050000", "pm25"}},
                     {"PM1点0", {"", "pm1"}},
                     {"湿度", {"S20500002", "hum"}},  // nine: checked
                     {"更新时间", {"S205000026", "time"}},
                     {"备注", {"S205000027", "note"}},
                     {"列表", {"S205000028", "list"}},
                     {"对象", {"S205000029", "object"}},
                     {"开关", {"S205000030", "switch"}}};
  dev.json_data_["备注"] = "text";
  dev.json_data_["列表"].append(1.0);
  dev.json_data_["对象"]["a"] = 1.0;
  dev.json_data_["开关"] = true;
  // Settings that would report at once, under the signal and the derived ids of the skipped signals.
  for (const char* id : {"S2050000", "", "S205000026", "S205000027", "S205000028", "S205000029", "S206000016",
                         "S206000017", "S206000018", "S206000019"}) {
    dev.bao_settings_[id] = period(1.0f, 0);
  }
  const auto settings = dev.bao_settings_;

  const std::string told =
      "signal id S2050000 of PM10 is shorter than 9 characters: not checked\n"
      "signal id  of PM1点0 is shorter than 9 characters: not checked\n"
      "signal id S2050000 of PM2点5 is shorter than 9 characters: not checked\n";
  for (const std::string& console : {told + "rvSize is 0\n", std::string("rvSize is 0\n")}) {
    rec::log().clear();
    EXPECT_EQ(round({525, 0, 35, 40, 20}), console);
    EXPECT_EQ(checks(), (Lines{threshold("S206000010", "switch", 1.0f), threshold("S20600001", "hum", 52.5f)}));
    const Lines names = rec::names();
    EXPECT_EQ(Lines(names.end() - 2, names.end()), (Lines{"DoBatchCheckThreshold", "SaveDeviceHistory"}));
  }
  ASSERT_EQ(dev.bao_settings_.size(), settings.size());
  for (const auto& entry : settings) EXPECT_TRUE(same(dev.bao_settings_.at(entry.first), entry.second)) << entry.first;
}

TEST_F(ChecksTest, ReadingsReplacedByAValueWithoutMembersSkipEveryCheck) {
  dev.ai_signals_ = {{"PM10", {"S205000021", "pm10"}}};
  for (const Json::Value& replacement : {Json::Value("text"), Json::Value(Json::arrayValue), Json::Value(3.5)}) {
    for (;;) {
      dev.json_data_ = Json::Value();
      round({0, 0, 0, 40, 0});
      const pt::ptime first = dev.update_time_;
      dev.json_data_ = replacement;
      rec::log().clear();
      bool threw = false;
      capture();
      try {
        dev.reply({0, 0, 0, 41, 0});
      } catch (const Json::LogicError&) {
        threw = true;  // regenerating readings that are no object: only in a new second
      }
      const std::string console = captured();
      if (dev.update_time_ != first) continue;  // the clock ticked between the rounds: try again
      EXPECT_FALSE(threw);
      EXPECT_EQ(console, "rvSize is 0\n");
      EXPECT_TRUE(checks().empty());
      EXPECT_EQ(rec::names().back(), "SaveDeviceHistory");
      EXPECT_EQ(dev.json_data_, replacement);
      break;
    }
  }
}

TEST_F(ChecksTest, RoundInTheSameSecondChecksTheEarlierRoundsReadings) {
  dev.ai_signals_ = {{"PM10", {"S205000021", "pm10"}}};
  for (;;) {
    round({0, 0, 0, 40, 0});
    const pt::ptime first = dev.update_time_;
    rec::log().clear();
    same_second_round({0, 0, 0, 77, 0});
    if (dev.update_time_ != first) continue;  // the clock ticked between the rounds: try again
    EXPECT_EQ(checks(), Lines{threshold("S206000011", "pm10", 40.0f)});
    EXPECT_EQ(dev.data_.pm10, 77);
    break;
  }
}

}  // namespace
