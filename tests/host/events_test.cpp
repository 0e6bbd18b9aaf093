// Event lines: the round's events are put together by hand, and must come out byte for byte as jsoncpp
// writes the same members; lines go out when flushed, in order.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <limits>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "events.h"
#include "expect.h"

namespace {

// A file the sink writes to, read back from its start.
class Output {
 public:
  Output() : file_(std::tmpfile()) {
    if (file_ == nullptr) throw std::runtime_error("no temporary file");
  }
  ~Output() { std::fclose(file_); }
  int fd() const { return fileno(file_); }
  std::string Text() const {
    std::string text;
    char buffer[4096];
    for (off_t at = 0;;) {
      const ssize_t n = pread(fd(), buffer, sizeof buffer, at);
      if (n <= 0) return text;
      text.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }

 private:
  std::FILE* file_;
};

std::string WithoutTimes(const std::string& text) {
  static const std::regex time("\"time\":\"[^\"]*\"");
  return std::regex_replace(text, time, "\"time\":T");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

Json::Value Parsed(const std::string& text) {
  Json::Value value;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
  return value;
}

struct Member {
  std::string label;
  Json::Value value;                              // as the generic path gets it
  std::function<void(EventSink::Line&)> add;  // as a round's line gets it
};

std::vector<Member> Members(EventSink& sink) {
  std::vector<Member> members;
  auto text = [&](const std::string& label, const std::string& v) {
    members.push_back({label, Json::Value(v), [v](EventSink::Line& l) { l.Text("m", v); }});
  };
  text("empty", "");
  text("plain", "vu7");
  text("UTF-8", "环境湿度");
  text("quotes and backslashes", "\"a\\b\"");
  text("broken UTF-8", "\xff\xfe\xe7\x8e");
  text("NUL inside", std::string("a\0b", 3));
  for (int c = 0; c < 256; ++c) text("byte " + std::to_string(c), std::string{'a', static_cast<char>(c), 'z'});
  for (long long v : {0LL, -1LL, 1201LL, 4294967295LL, std::numeric_limits<long long>::min(),
                      std::numeric_limits<long long>::max()}) {
    members.push_back({"integer " + std::to_string(v), Json::Value(static_cast<Json::Int64>(v)),
                       [v](EventSink::Line& l) { l.Int("m", v); }});
  }
  // A device's data id is unsigned; the generic path writes it as such.
  members.push_back({"unsigned", Json::Value(4294967295u), [](EventSink::Line& l) { l.Int("m", 4294967295u); }});
  const double reals[] = {0.0, -0.0, 25.1f, 52.3f, 0.1, 1e20, 1e-7, 123456789.0, 48.0f,
                          std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min(),
                          std::numeric_limits<float>::max(), std::numeric_limits<double>::max()};
  for (double v : reals) {
    members.push_back({"real " + std::to_string(v), Json::Value(v), [v](EventSink::Line& l) { l.Real("m", v); }});
  }
  for (bool v : {false, true}) {
    members.push_back({v ? "true" : "false", Json::Value(v), [v](EventSink::Line& l) { l.Bool("m", v); }});
  }
  // Readings as a plug-in hands them over: keys in another order, more digits, escaped UTF-8, comments
  // inside (those at the top are not taken this way).
  for (const std::string json :
       {"{\"湿度\":52.299999237060547,\"PM10\":48.0,\"更新时间\":\"2026-12-11 14:1:13\",\"\\u6e29\\u5ea6\":25.1}",
        "[1, [], {}, null, -2.5e-3, \"x\"]", "{\"b\": 1 /* c */, \"a\": // x\n [1, /*y*/ 2]}", "7"}) {
    const Json::Value value = Parsed(json);
    members.push_back({"rendered " + json, value,
                       [value, &sink](EventSink::Line& l) { l.Rendered("m", sink.Render(value)); }});
  }
  return members;
}

TEST(EventLine, WritesEachValueAsTheJsonWriterDoes) {
  Output out;
  EventSink sink(out.fd());
  const std::vector<Member> members = Members(sink);
  for (const Member& m : members) {
    Json::Value generic;
    generic["m"] = m.value;
    sink.Emit("e", generic);
    EventSink::Line line(sink, "e");
    m.add(line);
    line.Emit();
  }
  sink.Flush();
  const std::vector<std::string> lines = Lines(WithoutTimes(out.Text()));
  ASSERT_EQ(lines.size(), 2 * members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    EXPECT_EQ(lines[2 * i + 1], lines[2 * i]) << members[i].label;
  }
}

TEST(EventLine, OrdersMembersByTheBytesOfTheirNames) {
  Output out;
  EventSink sink(out.fd());
  // Given in no order; "time" falls among them; case and prefixes decide as bytes do.
  const char* names[] = {"value", "device", "a", "ab", "B", "_x", "round", "kind"};
  Json::Value generic;
  EventSink::Line line(sink, "threshold_check");
  for (std::size_t i = 0; i < std::size(names); ++i) {
    generic[names[i]] = static_cast<int>(i);
    line.Int(names[i], static_cast<long long>(i));
  }
  sink.Emit("threshold_check", generic);
  line.Emit();
  sink.Flush();
  const std::vector<std::string> lines = Lines(WithoutTimes(out.Text()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], lines[0]);
  EXPECT_EQ(lines[0], "{\"event\":\"threshold_check\",\"B\":4,\"_x\":5,\"a\":2,\"ab\":3,\"device\":1,\"kind\":7,"
                      "\"round\":6,\"time\":T,\"value\":0}");
}

TEST(EventLine, RefusesMoreMembersThanItHolds) {
  Output out;
  EventSink sink(out.fd());
  EventSink::Line line(sink, "e");
  const char* names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i"};
  static_assert(std::size(names) == EventSink::Line::kMaxMembers + 1);
  for (std::size_t i = 0; i < EventSink::Line::kMaxMembers; ++i) line.Int(names[i], 1);
  EXPECT_THROW_MSG(line.Int(names[EventSink::Line::kMaxMembers], 1), std::logic_error,
                   "too many members in a \"e\" event");
}

std::string LocalText(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

// The time of day is worked out once a second: lines on either side of a second's turn both carry theirs.
TEST(EventLine, StampsEachLineWithItsLocalTime) {
  using Clock = std::chrono::system_clock;
  Output out;
  EventSink sink(out.fd());
  std::vector<std::pair<std::string, std::string>> windows;  // seconds before and after each line
  for (int i = 0; i < 3; ++i) {
    const Clock::time_point before = Clock::now();
    EventSink::Line(sink, "e").Int("i", i).Emit();
    sink.Emit("g", Json::Value(Json::objectValue));
    windows.emplace_back(LocalText(before), LocalText(Clock::now()));
    // Into the next second.
    std::this_thread::sleep_until(Clock::from_time_t(Clock::to_time_t(Clock::now()) + 1) +
                                  std::chrono::milliseconds(5));
  }
  sink.Flush();
  const std::vector<std::string> lines = Lines(out.Text());
  ASSERT_EQ(lines.size(), 6u);
  const std::regex stamp(".*\"time\":\"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)\\.\\d{3}\"\\}");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, stamp)) << lines[i];
    EXPECT_GE(m[1].str(), windows[i / 2].first) << lines[i];
    EXPECT_LE(m[1].str(), windows[i / 2].second) << lines[i];
  }
}

TEST(EventSink, WritesNothingBeforeAFlushAndTheRestWhenItGoes) {
  Output out;
  {
    EventSink sink(out.fd());
    EventSink::Line(sink, "record").Int("round", 1).Emit();
    sink.Emit("error", Json::Value(Json::objectValue));
    EXPECT_EQ(out.Text(), "");
    sink.Flush();
    const std::vector<std::string> first{"{\"event\":\"record\",\"round\":1,\"time\":T}",
                                         "{\"event\":\"error\",\"time\":T}"};
    EXPECT_EQ(Lines(WithoutTimes(out.Text())), first);
    EventSink::Line(sink, "readings").Int("round", 2).Emit();
    EXPECT_EQ(sink.emitted("record"), 1);
    EXPECT_EQ(sink.emitted("readings"), 1);
    EXPECT_EQ(sink.emitted("control"), 0);
  }
  EXPECT_EQ(Lines(WithoutTimes(out.Text())).back(), "{\"event\":\"readings\",\"round\":2,\"time\":T}");
}

}  // namespace
