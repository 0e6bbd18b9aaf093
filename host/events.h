#pragma once

#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <json/value.h>
#include <json/writer.h>

// Machine-readable output: one JSON object per line, its "event" member first, then the rest.
class EventSink {
 public:
  explicit EventSink(int fd);
  ~EventSink();
  // Adds "time" (local, with milliseconds) and writes the line. Output errors are not the device's
  // business: a closed pipe ends the process the usual way (SIGPIPE).
  void Emit(const std::string& event, Json::Value members);
  long emitted(const std::string& event) const;

 private:
  int fd_;
  std::unique_ptr<Json::StreamWriter> writer_;
  std::ostringstream text_;
  std::map<std::string, long> counts_;
};

// Lower-case hexadecimal, two digits a byte, no separators.
std::string Hex(const unsigned char* data, unsigned int length);
// "YYYY-MM-DDTHH:MM:SS.mmm" local time.
std::string LocalNow();
