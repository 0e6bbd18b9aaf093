// The readings as JSON, regenerated once per round, and the value request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "alloc_counter.h"
#include "device_fixture.h"
#include "expect.h"

namespace {

namespace pt = boost::posix_time;

pt::ptime now() { return pt::second_clock::local_time(); }

class ReadingsTest : public DeviceTest {
 protected:
  // One poll round with these register values; its console line is swallowed.
  void round(std::vector<unsigned short> words) {
    dev.tab_ = 11;
    capture();
    dev.reply(std::move(words));
    captured();
  }

  // What Get_Value answers for data of the given age; repeated if the clock ticks meanwhile, so that the
  // age is exact.
  std::string answer_at_age(long seconds) {
    for (;;) {
      const pt::ptime start = now();
      dev.update_time_ = start - pt::seconds(seconds);
      std::string text;
      try {
        dev.Get_Value(1201, "湿度");
        text = "returned";
      } catch (const std::out_of_range& e) {
        text = e.what();
      }
      if (now() == start) return text;
    }
  }
};

TEST_F(ReadingsTest, RegistersBecomeSinglePrecisionReals) {
  struct Case {
    unsigned short reg;
    double tenths;
  };
  const Case cases[] = {{523, 52.29999923706055}, {251, 25.100000381469727}, {100, 10.0}, {65535, 6553.5}, {0, 0.0}};
  for (const Case& c : cases) {
    round({c.reg, c.reg, c.reg, c.reg, c.reg});
    const Json::Value& j = dev.json_data_;
    EXPECT_EQ(j["湿度"].asDouble(), c.tenths) << c.reg;
    EXPECT_EQ(j["温度"].asDouble(), c.tenths) << c.reg;
    for (const char* pm : {"PM2点5", "PM10", "PM1点0"}) {
      EXPECT_EQ(j[pm].type(), Json::realValue) << pm;
      EXPECT_EQ(j[pm].asDouble(), static_cast<double>(c.reg)) << pm;
    }
    EXPECT_EQ(j["湿度"].type(), Json::realValue);
    // A later round in the same second would not regenerate; let each case start a new second.
    dev.json_time_ = pt::ptime();
  }
}

TEST_F(ReadingsTest, ReadingsObjectHasExactlyTheSixMembers) {
  round({523, 251, 35, 40, 20});
  EXPECT_EQ(dev.json_data_.getMemberNames(),
            (std::vector<std::string>{"PM10", "PM1点0", "PM2点5", "更新时间", "温度", "湿度"}));
  EXPECT_EQ(dev.json_data_["PM2点5"].asDouble(), 35.0);
  EXPECT_EQ(dev.json_data_["PM10"].asDouble(), 40.0);
  EXPECT_EQ(dev.json_data_["PM1点0"].asDouble(), 20.0);
}

TEST_F(ReadingsTest, UpdateTimeTextIsUnpadded) {
  struct Case {
    ttime stamp;
    const char* text;
  };
  const Case cases[] = {
      {stamp(2024, 3, 5, 7, 4, 9), "2024-3-5 7:4:9"},
      {stamp(2024, 1, 1, 0, 0, 0), "2024-1-1 0:0:0"},
      {stamp(65535, 255, 255, 255, 255, 255), "65535-255-255 255:255:255"},
      {stamp(0, 0, 0, 0, 0, 0), "0-0-0 0:0:0"},
  };
  for (const Case& c : cases) {
    rec::script().stamp = c.stamp;
    round({1, 2, 3, 4, 5});
    EXPECT_EQ(dev.json_data_["更新时间"].asString(), c.text);
    dev.json_time_ = pt::ptime();
  }
}

TEST_F(ReadingsTest, NoNewRoundChangesAndAllocatesNothing) {
  round({523, 251, 35, 40, 20});
  const Json::Value before = dev.json_data_;
  dev.data_.humidity = 999;  // the record changes without a round
  const std::size_t allocations = allocations_on_this_thread();
  dev.VADID_EV7::GenJsonData();
  dev.VADID_EV7::GenJsonData();
  EXPECT_EQ(allocations_on_this_thread(), allocations);
  EXPECT_EQ(dev.json_data_, before);
  EXPECT_EQ(dev.json_time_, dev.update_time_);
}

TEST_F(ReadingsTest, NothingIsPublishedBeforeTheFirstRound) {
  dev.VADID_EV7::GenJsonData();
  EXPECT_TRUE(dev.json_data_.isNull());
}

TEST_F(ReadingsTest, SecondRoundInTheSameSecondKeepsTheFirstRoundsValues) {
  for (;;) {
    round({100, 100, 1, 1, 1});
    const pt::ptime first = dev.update_time_;
    round({200, 200, 2, 2, 2});
    if (dev.update_time_ != first) continue;  // the clock ticked between the rounds: try again
    EXPECT_EQ(dev.json_data_["湿度"].asDouble(), 10.0);
    EXPECT_EQ(dev.json_data_["PM10"].asDouble(), 1.0);
    break;
  }
  // The record itself holds the second round, and a round in a later second publishes it.
  EXPECT_EQ(dev.data_.pm10, 2);
  dev.update_time_ += pt::seconds(1);
  dev.VADID_EV7::GenJsonData();
  EXPECT_EQ(dev.json_data_["PM10"].asDouble(), 2.0);
}

TEST_F(ReadingsTest, MembersAddedByOtherCodeSurvive) {
  round({1, 2, 3, 4, 5});
  dev.json_data_["extra"] = "kept";
  dev.json_time_ = pt::ptime();
  round({6, 7, 8, 9, 10});
  EXPECT_EQ(dev.json_data_["extra"].asString(), "kept");
  EXPECT_EQ(dev.json_data_["PM1点0"].asDouble(), 10.0);
}

TEST_F(ReadingsTest, ReadingsReplacedByAValueWithoutMembersAreRebuilt) {
  for (const Json::Value& replaced : {Json::Value("text"), Json::Value(Json::arrayValue), Json::Value(7)}) {
    dev.json_data_ = replaced;
    dev.json_time_ = pt::ptime();
    rec::reset();
    round({523, 251, 35, 40, 20});
    EXPECT_TRUE(dev.json_data_.isObject());
    EXPECT_EQ(dev.json_data_["PM10"].asDouble(), 40.0);
    EXPECT_EQ(rec::calls("SaveDeviceHistory").size(), 1u);
  }
}

TEST_F(ReadingsTest, RoundReleasesTheLockItTakes) {
  round({1, 2, 3, 4, 5});
  ASSERT_TRUE(dev.json_mutex_.try_lock());
  dev.json_mutex_.unlock();
}

TEST_F(ReadingsTest, NotReadyComesFirstWhateverTheUpdateTime) {
  for (const pt::ptime t : {pt::ptime(), now(), now() - pt::hours(2), now() + pt::hours(2)}) {
    dev.update_time_ = t;
    EXPECT_THROW_MSG(dev.Get_Value(1201, "湿度"), std::out_of_range, "数据未就绪");
  }
}

TEST_F(ReadingsTest, ValueRequestAnswersByTheAgeOfTheData) {
  dev.data_status_ = true;
  EXPECT_EQ(answer_at_age(0), "不支持变量");
  EXPECT_EQ(answer_at_age(60), "不支持变量");
  EXPECT_EQ(answer_at_age(61), "数据已超时");
  EXPECT_EQ(answer_at_age(86400), "数据已超时");
  EXPECT_EQ(answer_at_age(-3600), "不支持变量");  // the clock was set back
}

TEST_F(ReadingsTest, ValueRequestNeverReturns) {
  round({523, 251, 35, 40, 20});
  for (const char* name : {"湿度", "温度", "PM2点5", "PM10", "PM1点0", "更新时间", "", "nonsense"}) {
    for (unsigned int id : {0u, 1201u, 4294967295u}) {
      EXPECT_THROW_MSG(dev.Get_Value(id, name), std::out_of_range, "不支持变量");
    }
  }
}

}  // namespace
