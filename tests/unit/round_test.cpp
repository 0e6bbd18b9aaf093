// The poll, the reply decoding and the end-of-round pipeline.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "device_fixture.h"
#include "expect.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Names = std::vector<std::string>;

TEST_F(DeviceTest, NewDeviceDefaults) {
  EXPECT_EQ(dev.device_type_, "vadid_ev7");
  EXPECT_EQ(dev.baud_rate_, 9600);
  EXPECT_EQ(dev.modbus_byte_, 1);
  EXPECT_EQ(dev.ctrl_result_, -1);
  EXPECT_EQ(dev.ctrl_expect_, -1);
  EXPECT_EQ(dev.b_mode_, 1);
  EXPECT_EQ(dev.record(), Bytes(21, 0));
  EXPECT_TRUE(dev.json_data_.isNull());
  EXPECT_TRUE(dev.json_time_.is_not_a_date_time());
  EXPECT_FALSE(dev.data_status_);
  EXPECT_TRUE(dev.ai_signals_.empty() && dev.threshold_ids_.empty() && dev.threshold_signal_names_.empty());
  EXPECT_THROW_MSG(dev.ZadeVDevice::Get_Value(0, "湿度"), std::out_of_range, "数据未就绪");
  EXPECT_EQ(dev.GetChildVDevice(0), nullptr);
  EXPECT_EQ(dev.GetChildVDevice(12345), nullptr);
  EXPECT_TRUE(dev.GetAllChildVDevices().empty());
  EXPECT_EQ(dev.DeviceType(), "vadid_ev7");
  EXPECT_TRUE(rec::log().empty());
}

TEST_F(DeviceTest, RefreshStatusPollsFiveRegistersAndAlwaysAnswersOne) {
  rec::script().refresh_result = -1;
  rec::script().modbus_result = -1;
  dev.tab_ = 206;
  EXPECT_EQ(dev.RefreshStatus(), 1);
  EXPECT_EQ(dev.tab_, 11);
  EXPECT_EQ(rec::names(), (Names{"ZadeSPDevice::RefreshStatus", "modbus_read_registers"}));
  EXPECT_EQ(rec::log()[1].args, (Names{"0", "5"}));
}

TEST_F(DeviceTest, PollReplyFillsTheRegisterBytesOfTheRecord) {
  dev.b_mode_ = 0;
  dev.tab_ = 11;
  capture();
  EXPECT_EQ(dev.reply({523, 251, 35, 40, 20}), 0);
  captured();
  const Bytes record = dev.record();
  EXPECT_EQ(Bytes(record.begin() + 4, record.begin() + 14),
            (Bytes{0x0B, 0x02, 0xFB, 0x00, 0x23, 0x00, 0x28, 0x00, 0x14, 0x00}));
  EXPECT_EQ(rec::calls("SendSP").size(), 1u);

  capture();
  dev.reply({65535, 0, 0, 0, 65535});
  captured();
  EXPECT_EQ(dev.record()[4], 0xFF);
  EXPECT_EQ(dev.record()[5], 0xFF);
  EXPECT_EQ(dev.record()[12], 0xFF);
  EXPECT_EQ(dev.record()[13], 0xFF);
}

TEST_F(DeviceTest, RoundCallsTheHostInOrder) {
  dev.data_id_ = 1201;
  dev.data_.data_id = 1201;
  rec::script().stamp = stamp(2024, 3, 5, 7, 4, 9);
  dev.tab_ = 11;
  const auto before = boost::posix_time::second_clock::local_time();
  capture();
  dev.reply({523, 251, 35, 40, 20});
  EXPECT_EQ(captured(), "rvSize is 0\n");
  const auto after = boost::posix_time::second_clock::local_time();

  EXPECT_EQ(rec::names(), (Names{"get_ttime", "SendSP", "ZadeSPDevice::Reset", "RunCheckThreshold", "GenJsonData",
                                 "DoBatchCheckThreshold", "SaveDeviceHistory"}));
  const Bytes expected = {0xB1, 0x04, 0x00, 0x00, 0x0B, 0x02, 0xFB, 0x00, 0x23, 0x00, 0x28,
                          0x00, 0x14, 0x00, 0xE8, 0x07, 0x03, 0x05, 0x07, 0x04, 0x09};
  const rec::Call send = rec::calls("SendSP")[0];
  EXPECT_EQ(send.args, (Names{"5156", "21", "false"}));
  EXPECT_EQ(send.bytes, expected);
  const rec::Call save = rec::calls("SaveDeviceHistory")[0];
  EXPECT_EQ(save.args, (Names{"21"}));
  EXPECT_EQ(save.bytes, expected);
  EXPECT_EQ(rec::calls("DoBatchCheckThreshold")[0].args, (Names{"0"}));
  // get_ttime was asked for the instant the round took as its update time.
  EXPECT_EQ(rec::calls("get_ttime")[0].args[0], boost::posix_time::to_simple_string(dev.update_time_));
  EXPECT_TRUE(before <= dev.update_time_ && dev.update_time_ <= after);
  EXPECT_TRUE(dev.data_status_);
  EXPECT_EQ(dev.round_status_, 1);
}

TEST_F(DeviceTest, ModesOtherThanOneSkipOnlyTheReadingsAndChecks) {
  for (int mode : {0, 2, 3, -1}) {
    rec::reset();
    dev.b_mode_ = mode;
    dev.ai_signals_["湿度"] = {"AI-HUMI-0001", "humidity"};
    dev.tab_ = 11;
    capture();
    dev.reply({1, 2, 3, 4, 5});
    EXPECT_EQ(captured(), "rvSize is 0\n") << mode;
    EXPECT_EQ(rec::names(), (Names{"get_ttime", "SendSP", "ZadeSPDevice::Reset", "RunCheckThreshold",
                                   "DoBatchCheckThreshold", "SaveDeviceHistory"}))
        << mode;
    EXPECT_TRUE(dev.json_data_.isNull()) << mode;
  }
}

TEST_F(DeviceTest, GatheredRulesAreCountedPassedAndCleared) {
  dev.b_mode_ = 0;
  dev.rule_values_.resize(2);
  capture();
  dev.RoundDone();
  EXPECT_EQ(captured(), "rvSize is 2\n");
  EXPECT_EQ(rec::calls("DoBatchCheckThreshold")[0].args, (Names{"2"}));
  EXPECT_TRUE(dev.rule_values_.empty());
}

TEST_F(DeviceTest, ThresholdFlagBelongsToItsRound) {
  dev.b_mode_ = 0;
  rec::script().batch_result = true;
  capture();
  dev.RoundDone();
  EXPECT_TRUE(dev.threshold_flag_);
  rec::script().batch_result = false;
  dev.RoundDone();
  captured();
  EXPECT_FALSE(dev.threshold_flag_);
}

// A flag raised by the threshold hook survives a batch check that finds nothing.
struct RaisingProbe : Probe {
  void RunCheckThreshold() override { threshold_flag_ = true; }
};

TEST_F(DeviceTest, FlagRaisedDuringTheRoundStaysRaised) {
  RaisingProbe raising;
  raising.b_mode_ = 0;
  capture();
  raising.RoundDone();
  captured();
  EXPECT_TRUE(raising.threshold_flag_);
}

TEST_F(DeviceTest, LoadFromCacheRefusesEveryOtherLength) {
  dev.data_.humidity = 77;
  const Bytes before = dev.record();
  const unsigned char cache[64] = {1, 2, 3};
  for (int length : {0, 20, 22, 64, -1, -21, INT_MIN, INT_MAX}) {
    EXPECT_FALSE(dev.LoadFromCache(cache, length)) << length;
  }
  EXPECT_FALSE(dev.LoadFromCache(nullptr, 21));
  EXPECT_FALSE(dev.LoadFromCache(std::string(20, 'x')));
  EXPECT_FALSE(dev.LoadFromCache(std::string()));
  EXPECT_TRUE(rec::log().empty());
  EXPECT_EQ(dev.record(), before);
  EXPECT_FALSE(dev.data_status_);
}

TEST_F(DeviceTest, LoadFromCacheKeepsIdAndPayloadButTakesTheCurrentTime) {
  dev.b_mode_ = 0;
  const Bytes cached = {0xB1, 0x04, 0, 0, 0x0B, 0x02, 0xFB, 0, 0x23, 0, 0x28, 0, 0x14, 0,
                        0xD0, 0x07, 1, 2, 3, 4, 5};  // stamped 2000-1-2 3:4:5
  rec::script().stamp = stamp(2026, 12, 11, 13, 5, 59);
  Bytes expected = cached;
  const Bytes now_stamp = {0xEA, 0x07, 12, 11, 13, 5, 59};
  std::copy(now_stamp.begin(), now_stamp.end(), expected.begin() + 14);

  capture();
  EXPECT_TRUE(dev.LoadFromCache(cached.data(), 21));
  captured();
  EXPECT_TRUE(dev.data_status_);
  EXPECT_EQ(rec::calls("SendSP")[0].bytes, expected);
  EXPECT_EQ(rec::calls("SaveDeviceHistory")[0].bytes, expected);
  const auto bytes_form = rec::log();

  rec::log().clear();
  capture();
  EXPECT_TRUE(dev.LoadFromCache(std::string(cached.begin(), cached.end())));
  captured();
  ASSERT_EQ(rec::log().size(), bytes_form.size());
  for (std::size_t i = 0; i < bytes_form.size(); ++i) {
    EXPECT_EQ(rec::log()[i].fn, bytes_form[i].fn);
    EXPECT_EQ(rec::log()[i].bytes, bytes_form[i].bytes);
  }
}

struct WriteReply {
  VADID_EV7::tab_type tab;
  int expect;
  std::vector<unsigned short> words;
  int result;
};

TEST_F(DeviceTest, WriteRepliesSetTheControlOutcome) {
  const WriteReply cases[] = {
      {206, 300, {300}, 1},  {206, 300, {301}, 3},   {206, -1, {65535}, 3}, {206, 65535, {65535}, 1},
      {206, -1, {0}, 3},     {210, 2, {16, 2}, 1},   {210, 2, {16, 3}, 3},  {210, 2, {17, 2}, 3},
      {210, -1, {16, 65535}, 3},
  };
  for (const WriteReply& c : cases) {
    rec::reset();
    dev.tab_ = c.tab;
    dev.ctrl_expect_ = c.expect;
    dev.ctrl_result_ = -1;
    const Bytes before = dev.record();
    EXPECT_EQ(dev.reply(c.words, 11), 0);
    EXPECT_EQ(dev.ctrl_result_, c.result) << c.tab << " " << c.expect << " " << c.words[0];
    EXPECT_EQ(rec::names(), Names{"ZadeSPDevice::Reset"});
    EXPECT_EQ(dev.tab_, c.tab);
    EXPECT_EQ(dev.record(), before);
    EXPECT_FALSE(dev.data_status_);
  }
}

TEST_F(DeviceTest, RepliesUnderOtherTagsChangeNothing) {
  for (VADID_EV7::tab_type tab : {0, 310, 320, 801, 12, -11}) {
    dev.tab_ = tab;
    dev.ctrl_result_ = -1;
    EXPECT_EQ(dev.reply({1, 2, 3, 4, 5}, 11), 1) << tab;
    EXPECT_EQ(dev.ctrl_result_, -1);
    EXPECT_EQ(dev.tab_, tab);
  }
  EXPECT_TRUE(rec::log().empty());
  EXPECT_EQ(dev.record(), Bytes(21, 0));
}

TEST_F(DeviceTest, ModbusErrorPrintsOneLineAndChangesNothing) {
  dev.tab_ = 11;
  capture();
  EXPECT_EQ(dev.on_error(), 0);
  EXPECT_EQ(captured(), "SPModbus get error\n");
  EXPECT_TRUE(rec::log().empty());
  EXPECT_FALSE(dev.data_status_);
  EXPECT_EQ(dev.ctrl_result_, -1);
}

TEST_F(DeviceTest, ThresholdHookAddsNoRulesInAnyMode) {
  for (int mode : {1, 2, 3, 42}) {
    dev.b_mode_ = mode;
    dev.VADID_EV7::RunCheckThreshold();
    EXPECT_TRUE(dev.rule_values_.empty());
  }
  EXPECT_TRUE(rec::log().empty());
}

}  // namespace
