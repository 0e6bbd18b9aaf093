#include "events.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include <json/writer.h>

EventSink::EventSink(int fd) : fd_(fd) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  // Readings and bands are floats: seven significant digits is all they hold.
  builder["precision"] = 7;
  writer_.reset(builder.newStreamWriter());
}

EventSink::~EventSink() = default;

void EventSink::Emit(const std::string& event, Json::Value members) {
  members["time"] = LocalNow();
  text_.str("");
  writer_->write(Json::Value(event), &text_);
  std::string line = "{\"event\":" + text_.str();
  text_.str("");
  writer_->write(members, &text_);
  const std::string rest = text_.str();
  line += rest.size() > 2 ? "," + rest.substr(1) : "}";
  line += "\n";
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ++counts_[event];
}

long EventSink::emitted(const std::string& event) const {
  const auto found = counts_.find(event);
  return found == counts_.end() ? 0 : found->second;
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

std::string LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
  return text;
}
