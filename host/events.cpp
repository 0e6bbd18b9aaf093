#include "events.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <json/writer.h>

namespace {

// Readings and bands are floats: seven significant digits is all they hold.
constexpr unsigned kPrecision = 7;

struct Now {
  std::time_t seconds;
  long ms;
};

Now TakeNow() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  return {std::chrono::system_clock::to_time_t(now), static_cast<long>(ms % 1000)};
}

void FormatSecond(std::time_t seconds, char (&text)[64]) {
  std::tm local{};
  localtime_r(&seconds, &local);
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// The writer leaves a text as it is unless it holds one of these; then it escapes them.
bool NeedsEscapes(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

}  // namespace

EventSink::EventSink(int fd) : fd_(fd) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  builder["precision"] = kPrecision;
  writer_.reset(builder.newStreamWriter());
  FormatSecond(stamp_second_, stamp_);
}

EventSink::~EventSink() { Flush(); }

const std::string& EventSink::Render(const Json::Value& value) {
  text_.str("");
  writer_->write(value, &text_);
  rendered_ = text_.str();
  return rendered_;
}

void EventSink::AppendQuoted(std::string& out, const char* text, std::size_t length) {
  if (NeedsEscapes(text, length)) {
    out += Render(Json::Value(text, text + length));
    return;
  }
  out += '"';
  out.append(text, length);
  out += '"';
}

// Local time, "YYYY-MM-DDTHH:MM:SS.mmm"; the date and time of day are worked out once a second.
void EventSink::AppendTime(std::string& out) {
  const Now now = TakeNow();
  if (now.seconds != stamp_second_) {
    FormatSecond(now.seconds, stamp_);
    stamp_second_ = now.seconds;
  }
  out += stamp_;
  if (now.ms >= 0) {
    const char ms[] = {'.', static_cast<char>('0' + now.ms / 100), static_cast<char>('0' + now.ms / 10 % 10),
                       static_cast<char>('0' + now.ms % 10)};
    out.append(ms, sizeof ms);
  } else {  // before 1970
    char ms[16];
    std::snprintf(ms, sizeof ms, ".%03ld", now.ms);
    out += ms;
  }
}

void EventSink::Count(const char* event) {
  const auto found = counts_.find(event);
  if (found != counts_.end()) {
    ++found->second;
  } else {
    counts_.emplace(event, 1);
  }
}

void EventSink::Emit(const std::string& event, Json::Value members) {
  std::string time;
  AppendTime(time);
  members["time"] = time;
  std::string line = "{\"event\":" + Render(Json::Value(event));
  const std::string& rest = Render(members);
  line += rest.size() > 2 ? "," + rest.substr(1) : "}";
  line += "\n";
  pending_ += line;
  Count(event.c_str());
}

void EventSink::Flush() {
  const char* p = pending_.data();
  std::size_t left = pending_.size();
  while (left > 0) {
    const ssize_t n = write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  pending_.clear();
}

long EventSink::emitted(const std::string& event) const {
  const auto found = counts_.find(event);
  return found == counts_.end() ? 0 : found->second;
}

EventSink::Line::Line(EventSink& sink, const char* event) : sink_(sink), event_(event), values_(sink.line_values_) {
  values_.clear();
}

EventSink::Line& EventSink::Line::Add(const char* name, std::size_t begin) {
  if (count_ == kMaxMembers) throw std::logic_error(std::string("too many members in a \"") + event_ + "\" event");
  members_[count_++] = Member{name, std::strlen(name), begin, values_.size()};
  return *this;
}

EventSink::Line& EventSink::Line::Text(const char* name, const std::string& value) {
  const std::size_t begin = values_.size();
  sink_.AppendQuoted(values_, value.data(), value.size());
  return Add(name, begin);
}

EventSink::Line& EventSink::Line::Int(const char* name, long long value) {
  const std::size_t begin = values_.size();
  values_ += Json::valueToString(static_cast<Json::LargestInt>(value));
  return Add(name, begin);
}

EventSink::Line& EventSink::Line::Real(const char* name, double value) {
  const std::size_t begin = values_.size();
  values_ += Json::valueToString(value, kPrecision, Json::PrecisionType::significantDigits);
  return Add(name, begin);
}

EventSink::Line& EventSink::Line::Bool(const char* name, bool value) {
  const std::size_t begin = values_.size();
  values_ += value ? "true" : "false";
  return Add(name, begin);
}

EventSink::Line& EventSink::Line::Rendered(const char* name, const std::string& json) {
  const std::size_t begin = values_.size();
  values_ += json;
  return Add(name, begin);
}

void EventSink::Line::Emit() {
  const std::size_t begin = values_.size();
  values_ += '"';
  sink_.AppendTime(values_);
  values_ += '"';
  members_[count_++] = Member{"time", 4, begin, values_.size()};
  // The writer's order: by the bytes of the names.
  for (std::size_t i = 1; i < count_; ++i) {
    const Member m = members_[i];
    std::size_t j = i;
    for (; j > 0 && std::strcmp(members_[j - 1].name, m.name) > 0; --j) members_[j] = members_[j - 1];
    members_[j] = m;
  }
  // The event's and the members' names are plain: nothing in them to escape. The line is copied into
  // place piece by piece, its length known beforehand.
  static const char kHead[] = "{\"event\":\"";
  const std::size_t event_size = std::strlen(event_);
  std::size_t size = sizeof kHead - 1 + event_size + 1 + 2;
  for (std::size_t i = 0; i < count_; ++i) size += 4 + members_[i].name_size + members_[i].end - members_[i].begin;
  std::string& out = sink_.pending_;
  const std::size_t at = out.size();
  out.resize(at + size);
  char* p = &out[at];
  const auto put = [&p](const char* text, std::size_t length) {
    std::memcpy(p, text, length);
    p += length;
  };
  put(kHead, sizeof kHead - 1);
  put(event_, event_size);
  put("\"", 1);
  for (std::size_t i = 0; i < count_; ++i) {
    put(",\"", 2);
    put(members_[i].name, members_[i].name_size);
    put("\":", 2);
    put(values_.data() + members_[i].begin, members_[i].end - members_[i].begin);
  }
  put("}\n", 2);
  sink_.Count(event_);
}

std::string Hex(const unsigned char* data, unsigned int length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(static_cast<std::size_t>(length) * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
  return out;
}
