#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <json/value.h>
#include <json/writer.h>

// Machine-readable output: one JSON object per line, its "event" member first, then the rest in the order
// jsoncpp writes an object's members (by the bytes of their names). Lines are gathered and go out with
// one write at each Flush.
class EventSink {
 public:
  // One line, built without a Json::Value: for the events of every round, where building and writing a
  // Json::Value costs far more than the device's own work. The members come out exactly as Emit would
  // write them for the same members given as a Json::Value. At most kMaxMembers; the event's and the
  // members' names are literals that need no escapes (letters, digits, '_'), each name once. One line of
  // a sink is built at a time.
  class Line {
   public:
    static constexpr std::size_t kMaxMembers = 8;
    Line(EventSink& sink, const char* event);
    Line& Text(const char* name, const std::string& value);
    Line& Int(const char* name, long long value);
    Line& Real(const char* name, double value);
    Line& Bool(const char* name, bool value);
    // A value as Render wrote it.
    Line& Rendered(const char* name, const std::string& json);
    // Adds "time" and hands the line over.
    void Emit();

   private:
    struct Member {
      const char* name;
      std::size_t name_size;
      std::size_t begin;  // of the value's text in values_
      std::size_t end;
    };
    Line& Add(const char* name, std::size_t begin);

    EventSink& sink_;
    const char* event_;
    std::string& values_;  // the sink's, kept from line to line
    Member members_[kMaxMembers + 1];  // and "time"
    std::size_t count_ = 0;
  };

  explicit EventSink(int fd);
  // Flushes what is left.
  ~EventSink();
  // Adds "time" (local, with milliseconds) and gathers the line.
  void Emit(const std::string& event, Json::Value members);
  // Writes the lines gathered so far. Output errors are not the device's business: a closed pipe ends the
  // process the usual way (SIGPIPE).
  void Flush();
  long emitted(const std::string& event) const;
  // The value as it stands in a line; valid until the next call.
  const std::string& Render(const Json::Value& value);

 private:
  // The text as the writer quotes it.
  void AppendQuoted(std::string& out, const char* text, std::size_t length);
  void AppendTime(std::string& out);
  void Count(const char* event);

  int fd_;
  std::unique_ptr<Json::StreamWriter> writer_;
  std::ostringstream text_;
  std::string rendered_;
  std::string pending_;  // whole lines, not yet written
  std::string line_values_;
  std::map<std::string, long, std::less<>> counts_;
  std::time_t stamp_second_ = 0;  // and its local time in stamp_, "YYYY-MM-DDTHH:MM:SS"
  char stamp_[64];
};

// Lower-case hexadecimal, two digits a byte, no separators.
std::string Hex(const unsigned char* data, unsigned int length);
