// Control requests: register writes and their confirmation, the readings handed out, signal requests screened,
// every other code reported and passed on.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/writer.h>

#include "device_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Names = std::vector<std::string>;

constexpr int kBaseResult = 42;  // what the scripted base answers, so that a passed-on result is recognised
constexpr unsigned char kFill = 0xAA;
constexpr int kOutSize = 16;
constexpr int kNoLength = -7;  // out_len as the caller left it
constexpr int kThrew = INT_MIN;

std::string ptr(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Native 16-bit words as the host lays them into the input buffer.
Bytes words(std::initializer_list<unsigned> values) {
  Bytes out;
  for (unsigned v : values) {
    const auto w = static_cast<std::uint16_t>(v);
    const auto* p = reinterpret_cast<const unsigned char*>(&w);
    out.insert(out.end(), p, p + sizeof w);
  }
  return out;
}

Bytes filled(std::size_t n) { return Bytes(n, kFill); }

// Text nested `depth` levels deep: an object holding "signal_id" and arrays inside each other.
std::string nested(int depth) {
  return "{\"signal_id\":\"S1\",\"x\":" + std::string(static_cast<std::size_t>(depth - 1), '[') +
         std::string(static_cast<std::size_t>(depth - 1), ']') + "}";
}

class ControlTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    fresh();
  }

  // Back to the starting state, for the next case of a table.
  void fresh() {
    rec::reset();
    rec::script().base_ioctl_result = kBaseResult;
    dev.b_mode_ = 1;
    // State left by an earlier, confirmed write, so that every change shows.
    dev.tab_ = 11;
    dev.ctrl_result_ = 1;
    dev.ctrl_expect_ = 77;
    out = filled(kOutSize);
    out_len = kNoLength;
  }

  // One control call with the input placed at an odd address, as a host's byte buffer may be. Checks the
  // line the call prints and that nothing is thrown.
  int ioctl(int code, const Bytes& input, int in_len, int out_cap, bool null_in = false, bool null_out = false) {
    in_buf.assign(input.size() + 2, 0);
    std::copy(input.begin(), input.end(), in_buf.begin() + 1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(in_buf.data() + 1) % 2, 1u);
    in = null_in ? nullptr : in_buf.data() + 1;
    out_ptr = null_out ? nullptr : out.data();
    rec::log().clear();
    capture();
    int result = kThrew;
    try {
      result = dev.DeviceIoControl(code, in, in_len, out_ptr, out_cap, out_len);
    } catch (...) {
      ADD_FAILURE() << "an exception left DeviceIoControl " << code;
    }
    EXPECT_EQ(captured(), "VADID_EV7::DeviceIoControl " + std::to_string(code) + "\n");
    return result;
  }

  // The base call with all six arguments as the device was given them.
  Names base_args(int code, int in_len, int out_cap) const {
    return {std::to_string(code), ptr(in), std::to_string(in_len), ptr(out_ptr), std::to_string(out_cap),
            ptr(&out_len)};
  }

  // A completed round with readings that print exactly, as the host would have driven it.
  void complete_round() {
    dev.data_.humidity = 525;
    dev.data_.temperature = 250;
    dev.data_.pm2_5 = 35;
    dev.data_.pm10 = 40;
    dev.data_.pm1_0 = 20;
    dev.data_.stamp = stamp(2024, 3, 5, 7, 4, 9);
    dev.update_time_ = boost::posix_time::time_from_string("2024-03-05 07:04:09");
  }

  Bytes in_buf;
  const void* in = nullptr;
  Bytes out;
  void* out_ptr = nullptr;
  int out_len = kNoLength;
};

struct Expected {
  std::string fn;
  Names args;  // empty for the base DeviceIoControl: the six arguments as given
  Bytes bytes;
};

struct Case {
  const char* what;
  int code;
  Bytes input;
  int in_len;
  int out_cap;
  bool null_in, null_out;
  int result;
  std::vector<Expected> calls;
  int tab, ctrl_result, ctrl_expect;
  Bytes out;  // all kOutSize bytes afterwards
  int out_len;
};

const Bytes kUntouched = filled(kOutSize);
const Expected kOpen{"OpenPort", {}, {}};
const Expected kBase{"ZadeVDevice::DeviceIoControl", {}, {}};
constexpr int kWhole = INT_MIN + 1;

Bytes with_result(Bytes head) {
  head.resize(kOutSize, kFill);
  return head;
}

Bytes many_words(int n) {
  Bytes out;
  for (int i = 0; i <= n; ++i) {
    const Bytes w = words({static_cast<unsigned>(1000 + i)});
    out.insert(out.end(), w.begin(), w.end());
  }
  return out;
}

Bytes tail(const Bytes& b, std::size_t from, std::size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

TEST_F(ControlTest, CodesAgainstTheHost) {
  const Bytes many123 = many_words(123);
  const Bytes many124 = many_words(124);
  const std::vector<Case> cases = {
      {"206 writes one register", 206, words({5, 300}), 4, kOutSize, false, false, 0,
       {kOpen, {"modbus_write_register", {"5", "300"}, {}}}, 206, -1, 300, kUntouched, kNoLength},
      {"206 takes only its first two words", 206, words({5, 300, 999, 998}), 8, kOutSize, false, false, 0,
       {kOpen, {"modbus_write_register", {"5", "300"}, {}}}, 206, -1, 300, kUntouched, kNoLength},
      {"206 zero-extends its words", 206, words({65535, 65535}), 4, kOutSize, false, false, 0,
       {kOpen, {"modbus_write_register", {"65535", "65535"}, {}}}, 206, -1, 65535, kUntouched, kNoLength},
      {"210 writes consecutive registers", 210, words({7, 1, 2, 3}), 8, kOutSize, false, false, 0,
       {kOpen, {"modbus_write_registers", {"7", "3"}, {0x01, 0x00, 0x02, 0x00, 0x03, 0x00}}}, 210, -1, 3,
       kUntouched, kNoLength},
      {"210 with in_len 7 writes two", 210, Bytes{0x07, 0x00, 0x01, 0x00, 0x02, 0x01, 0xEE}, 7, kOutSize, false,
       false, 0, {kOpen, {"modbus_write_registers", {"7", "2"}, {0x01, 0x00, 0x02, 0x01}}}, 210, -1, 2,
       kUntouched, kNoLength},
      {"210 with one value", 210, words({0x1234, 0xBEEF}), 4, kOutSize, false, false, 0,
       {kOpen, {"modbus_write_registers", {"4660", "1"}, {0xEF, 0xBE}}}, 210, -1, 1, kUntouched, kNoLength},
      {"210 with the most values one write takes", 210, many123, 248, kOutSize, false, false, 0,
       {kOpen, {"modbus_write_registers", {"1000", "123"}, tail(many123, 2, 248)}}, 210, -1, 123, kUntouched,
       kNoLength},
      // Refusals: nothing sent, nothing changed.
      {"206 with 3 bytes", 206, words({5, 300}), 3, kOutSize, false, false, -1, {}, 11, 1, 77, kUntouched, kNoLength},
      {"206 with no bytes", 206, {}, 0, kOutSize, false, false, -1, {}, 11, 1, 77, kUntouched, kNoLength},
      {"206 with a negative length", 206, words({5, 300}), -4, kOutSize, false, false, -1, {}, 11, 1, 77,
       kUntouched, kNoLength},
      {"206 with a null input", 206, {}, 4, kOutSize, true, false, -1, {}, 11, 1, 77, kUntouched, kNoLength},
      {"210 with an address only", 210, words({7, 1}), 3, kOutSize, false, false, -1, {}, 11, 1, 77, kUntouched,
       kNoLength},
      {"210 with a null input", 210, {}, 8, kOutSize, true, false, -1, {}, 11, 1, 77, kUntouched, kNoLength},
      {"210 with 124 values", 210, many124, 250, kOutSize, false, false, -1, {}, 11, 1, 77, kUntouched, kNoLength},
      {"210 with 124 values and an odd byte", 210, many124, 251, kOutSize, false, false, -1, {}, 11, 1, 77,
       kUntouched, kNoLength},
      // The outcome of the last write, then the base.
      {"802 reports the outcome", 802, {}, 0, 4, false, false, kBaseResult, {{kBase.fn, {}, {0x01, 0, 0, 0}}}, 11,
       1, 77, with_result({0x01, 0, 0, 0}), 4},
      {"802 with room to spare", 802, words({1, 2}), 4, kOutSize, false, false, kBaseResult,
       {{kBase.fn, {}, with_result({0x01, 0, 0, 0})}}, 11, 1, 77, with_result({0x01, 0, 0, 0}), 4},
      {"802 with too little room", 802, {}, 0, 3, false, false, kBaseResult, {{kBase.fn, {}, filled(3)}}, 11, 1, 77,
       kUntouched, 0},
      {"802 with no out", 802, {}, 0, kOutSize, false, true, kBaseResult, {kBase}, 11, 1, 77, kUntouched, 0},
      {"802 with a negative out_cap", 802, {}, 0, -4, false, false, kBaseResult, {kBase}, 11, 1, 77, kUntouched,
       0},
      {"any code the device does not know", 12345, words({206}), 2, 4, false, false, kBaseResult,
       {{kBase.fn, {}, {0x01, 0, 0, 0}}}, 11, 1, 77, with_result({0x01, 0, 0, 0}), 4},
      {"code 0", 0, {}, 0, 4, true, false, kBaseResult, {{kBase.fn, {}, {0x01, 0, 0, 0}}}, 11, 1, 77,
       with_result({0x01, 0, 0, 0}), 4},
      {"a negative code", -206, words({5, 300}), 4, 4, false, false, kBaseResult, {{kBase.fn, {}, {0x01, 0, 0, 0}}},
       11, 1, 77, with_result({0x01, 0, 0, 0}), 4},
      // Signal requests (screened in detail below) and the readings (likewise).
      {"310 with a request", 310, bytes("{\"signal_id\":\"S1\"}"), 18, kOutSize, false, false, kBaseResult,
       {kOpen, {kBase.fn, {}, kUntouched}}, 310, -1, 77, kUntouched, kNoLength},
      {"310 with text that is not JSON", 310, bytes("{\"signal_id\":"), 13, kOutSize, false, false, -1, {kOpen},
       310, -1, 77, kUntouched, kNoLength},
      {"320 in mode 1 passes any text", 320, bytes("not json"), 8, kOutSize, false, false, kBaseResult,
       {kOpen, {kBase.fn, {}, kUntouched}}, 320, -1, 77, kUntouched, kNoLength},
      // No out is no room; the length needed is still told ("null\n" before any round).
      {"801 with no out", 801, {}, 0, 4096, false, true, -1, {{"GenJsonData", {}, {}}}, 11, 1, 77, kUntouched, 5},
      {"803 with no out", 803, {}, 0, kOutSize, false, true, -1, {{"GenJsonData", {}, {}}}, 11, 1, 77, kUntouched,
       static_cast<int>(sizeof(void*))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    const int result = ioctl(c.code, c.input, c.in_len, c.out_cap, c.null_in, c.null_out);
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(rec::log().size(), c.calls.size());
    for (std::size_t i = 0; i < c.calls.size(); ++i) {
      const rec::Call& got = rec::log()[i];
      const Expected& want = c.calls[i];
      EXPECT_EQ(got.fn, want.fn);
      EXPECT_EQ(got.device, &dev);
      EXPECT_EQ(got.args, want.fn == kBase.fn ? base_args(c.code, c.in_len, c.out_cap) : want.args);
      EXPECT_EQ(got.bytes, want.bytes);
    }
    EXPECT_EQ(dev.tab_, c.tab);
    EXPECT_EQ(dev.ctrl_result_, c.ctrl_result);
    EXPECT_EQ(dev.ctrl_expect_, c.ctrl_expect);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(out_len, c.out_len);
  }
}

TEST_F(ControlTest, WriteConfirmationReachesTheNextReport) {
  struct Step {
    int code;
    Bytes input;
    std::vector<unsigned short> reply;  // empty: no reply came
    Bytes reported;
  };
  const std::vector<Step> steps = {
      {206, words({3, 300}), {}, {0xFF, 0xFF, 0xFF, 0xFF}},
      {206, words({3, 300}), {300}, {0x01, 0x00, 0x00, 0x00}},
      {206, words({3, 300}), {301}, {0x03, 0x00, 0x00, 0x00}},
      {206, words({3, 65535}), {65535}, {0x01, 0x00, 0x00, 0x00}},
      {210, words({7, 1, 2}), {}, {0xFF, 0xFF, 0xFF, 0xFF}},
      {210, words({7, 1, 2}), {16, 2}, {0x01, 0x00, 0x00, 0x00}},
      {210, words({7, 1, 2}), {16, 3}, {0x03, 0x00, 0x00, 0x00}},
      {210, words({7, 1, 2}), {17, 2}, {0x03, 0x00, 0x00, 0x00}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::to_string(s.code) + " reply of " + std::to_string(s.reply.size()) + " words");
    fresh();
    ASSERT_EQ(ioctl(s.code, s.input, static_cast<int>(s.input.size()), kOutSize), 0);
    ASSERT_EQ(dev.tab_, s.code);
    rec::log().clear();
    if (!s.reply.empty()) {
      EXPECT_EQ(dev.reply(s.reply, s.code), 0);
      EXPECT_EQ(rec::names(), (Names{"ZadeSPDevice::Reset"}));
      EXPECT_EQ(dev.tab_, s.code);
    }
    out = filled(4);
    EXPECT_EQ(ioctl(802, {}, 0, 4), kBaseResult);
    ASSERT_EQ(rec::names(), (Names{"ZadeVDevice::DeviceIoControl"}));
    EXPECT_EQ(rec::log()[0].bytes, s.reported);  // already there when the base is called
    EXPECT_EQ(out, s.reported);
    EXPECT_EQ(out_len, 4);
  }
}

TEST_F(ControlTest, SignalRequestsNeverConfirm) {
  ASSERT_EQ(ioctl(310, bytes("{}"), 2, kOutSize), kBaseResult);
  EXPECT_EQ(dev.reply({300}, 206), 1);
  EXPECT_EQ(ioctl(802, {}, 0, 4), kBaseResult);
  EXPECT_EQ(out, with_result({0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(ControlTest, ReadingsTextFitsExactlyOrNotAtAll) {
  complete_round();
  const std::string text =
      "{\"PM10\":40.0,\"PM1\\u70b90\":20.0,\"PM2\\u70b95\":35.0,\"\\u66f4\\u65b0\\u65f6\\u95f4\":\"2024-3-5 7:4:9\","
      "\"\\u6e29\\u5ea6\":25.0,\"\\u6e7f\\u5ea6\":52.5}\n";  // the writer escapes what is not ASCII
  const int length = static_cast<int>(text.size());

  out = filled(text.size() + 4);
  EXPECT_EQ(ioctl(801, {}, 0, length - 1), -1);
  EXPECT_EQ(out, filled(text.size() + 4));
  EXPECT_EQ(out_len, length);
  EXPECT_EQ(rec::names(), (Names{"GenJsonData"}));

  EXPECT_EQ(ioctl(801, words({1}), 2, length), 0);
  EXPECT_EQ(out_len, length);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + length), bytes(text));
  EXPECT_EQ(Bytes(out.begin() + length, out.end()), filled(4));  // no terminating zero
  EXPECT_EQ(text, Json::FastWriter().write(dev.json_data_));
  EXPECT_EQ(rec::names(), (Names{"GenJsonData"}));
  EXPECT_EQ(dev.tab_, 11);
  EXPECT_EQ(dev.ctrl_result_, 1);

  // The readings are regenerated for a newer round before they are written out.
  dev.data_.humidity = 600;
  dev.update_time_ += boost::posix_time::seconds(1);
  out = filled(text.size() + 4);
  EXPECT_EQ(ioctl(801, {}, 0, length + 4), 0);
  std::string newer = text;
  newer.replace(newer.find("52.5"), 4, "60.0");
  EXPECT_EQ(out_len, length);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + length), bytes(newer));
}

TEST_F(ControlTest, ReadingsTextBeforeAnyRound) {
  out = filled(8);
  EXPECT_EQ(ioctl(801, {}, 0, 8), 0);
  EXPECT_EQ(out_len, 5);
  EXPECT_EQ(out, (Bytes{'n', 'u', 'l', 'l', '\n', kFill, kFill, kFill}));
}

TEST_F(ControlTest, ReadingsObjectIsTheAddressOfTheReadings) {
  complete_round();
  const int width = static_cast<int>(sizeof(void*));

  EXPECT_EQ(ioctl(803, {}, 0, width), 0);
  EXPECT_EQ(out_len, width);
  const Json::Value* readings = nullptr;
  std::memcpy(&readings, out.data(), sizeof readings);
  EXPECT_EQ(readings, &dev.json_data_);
  EXPECT_EQ((*readings)["湿度"].asDouble(), 52.5);  // regenerated before it is handed out
  EXPECT_EQ(tail(out, sizeof readings, out.size()), filled(out.size() - sizeof readings));
  EXPECT_EQ(rec::names(), (Names{"GenJsonData"}));

  for (int cap : {width - 1, 3, 0, -1}) {
    SCOPED_TRACE(cap);
    out = filled(kOutSize);
    EXPECT_EQ(ioctl(803, {}, 0, cap), -1);
    EXPECT_EQ(out_len, width);
    EXPECT_EQ(out, filled(kOutSize));
    EXPECT_EQ(rec::names(), (Names{"GenJsonData"}));
  }
  EXPECT_EQ(dev.tab_, 11);
  EXPECT_EQ(dev.ctrl_result_, 1);
}

TEST_F(ControlTest, SignalRequestsAreScreened) {
  struct Text {
    const char* what;
    std::string text;
    int in_len;  // kWhole: the whole text
    bool passed;  // by 310, and by 320 outside mode 1
  };
  const std::vector<Text> texts = {
      {"a request", "{\"signal_id\":\"S1\"}", kWhole, true},
      {"a request with more members", "{\"signal_id\":\"S1\",\"value\":[1,{\"a\":null}]}", kWhole, true},
      {"an object without signal_id", "{}", kWhole, true},
      {"a null signal_id, read as no signal", "{\"signal_id\":null}", kWhole, true},
      {"as deep as a request may nest", nested(VADID_EV7::kMaxRequestDepth), kWhole, true},
      {"text after the object", "{\"signal_id\":\"S1\"} tail", kWhole, true},
      {"cut short by in_len", "{\"signal_id\":\"S1\"}", 17, false},
      {"not JSON", "signal S1", kWhole, false},
      {"empty", "", kWhole, false},
      {"a negative length", "{}", -1, false},
      {"one level deeper than a request may nest", nested(VADID_EV7::kMaxRequestDepth + 1), kWhole, false},
      {"5,000 levels of arrays", std::string(5000, '[') + std::string(5000, ']'), kWhole, false},
      {"5,000 levels of objects", [] {
         std::string t;
         for (int i = 0; i < 5000; ++i) t += "{\"a\":";
         return t + "1" + std::string(5000, '}');
       }(), kWhole, false},
      {"5,000 open arrays", std::string(5000, '['), kWhole, false},
      {"a trailing comma", "{\"signal_id\":\"S1\",}", kWhole, false},
      {"a byte-order mark", "\xEF\xBB\xBF{\"signal_id\":\"S1\"}", kWhole, false},
      {"an array", "[{\"signal_id\":\"S1\"}]", kWhole, false},
      {"a string", "\"S1\"", kWhole, false},
      {"null", "null", kWhole, false},
      {"a number signal_id", "{\"signal_id\":5}", kWhole, false},
      {"an object signal_id", "{\"signal_id\":{\"id\":\"S1\"}}", kWhole, false},
      {"an array signal_id", "{\"signal_id\":[\"S1\"]}", kWhole, false},
  };
  for (int mode : {1, 3, 0}) {
    for (int code : {310, 320}) {
      for (const Text& t : texts) {
        SCOPED_TRACE(std::to_string(code) + " in mode " + std::to_string(mode) + ": " + t.what);
        fresh();
        dev.b_mode_ = mode;
        const int in_len = t.in_len == kWhole ? static_cast<int>(t.text.size()) : t.in_len;
        const bool passed = (code == 320 && mode == 1) || t.passed;
        const int result = ioctl(code, bytes(t.text), in_len, kOutSize);
        EXPECT_EQ(result, passed ? kBaseResult : -1);
        ASSERT_EQ(rec::log().size(), passed ? 2u : 1u);
        EXPECT_EQ(rec::log()[0].fn, "OpenPort");
        if (passed) {
          EXPECT_EQ(rec::log()[1].fn, "ZadeVDevice::DeviceIoControl");
          EXPECT_EQ(rec::log()[1].args, base_args(code, in_len, kOutSize));
        }
        EXPECT_EQ(dev.tab_, code);
        EXPECT_EQ(dev.ctrl_result_, -1);
        EXPECT_EQ(dev.ctrl_expect_, 77);
        EXPECT_EQ(out, kUntouched);
        EXPECT_EQ(out_len, kNoLength);
      }
    }
  }
}

TEST_F(ControlTest, SignalRequestWithNoInput) {
  for (int code : {310, 320}) {
    SCOPED_TRACE(code);
    fresh();
    dev.b_mode_ = 3;
    EXPECT_EQ(ioctl(code, {}, 4, kOutSize, true), -1);
    EXPECT_EQ(ioctl(code, {}, 0, kOutSize, true), -1);
    EXPECT_EQ(rec::names(), (Names{"OpenPort"}));
    EXPECT_EQ(dev.tab_, code);
    EXPECT_EQ(dev.ctrl_result_, -1);
  }
}

}  // namespace
