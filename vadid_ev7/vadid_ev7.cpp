#include "vadid_ev7.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/reader.h>
#include <json/writer.h>

VADID_EV7::VADID_EV7() {
  device_type_ = "vadid_ev7";
  baud_rate_ = 9600;
  modbus_byte_ = 1;
}

VADID_EV7::~VADID_EV7() = default;

bool VADID_EV7::InitSetting(const Json::Value& config) {
  data_.data_id = data_id_;
  return UniDataDevice::InitSetting(config);
}

int VADID_EV7::RefreshStatus() {
  ZadeSPDevice::RefreshStatus();
  tab_ = kPollTag;
  modbus_read_registers(kFirstRegister, kRegisterCount);
  return 1;
}

int VADID_EV7::process_payload(tab_type, unsigned int) {
  switch (tab_) {
    case kPollTag:
      std::memcpy(reinterpret_cast<unsigned char*>(&data_) + offsetof(VADID_EV7_Data_t, humidity), reg_buf_,
                  kRegisterCount * sizeof(reg_buf_[0]));
      RoundDone();
      return 0;
    case kWriteOneTag:
      ctrl_result_ = static_cast<int>(reg_buf_[0]) == ctrl_expect_ ? 1 : 3;
      Reset();
      return 0;
    case kWriteManyTag:
      // Function 16 echoes its code and the number of registers written.
      ctrl_result_ = reg_buf_[0] == 16 && static_cast<int>(reg_buf_[1]) == ctrl_expect_ ? 1 : 3;
      Reset();
      return 0;
    default:
      return 1;
  }
}

void VADID_EV7::RunCheckThreshold() {}

void VADID_EV7::GenJsonData() {
  std::lock_guard<std::mutex> lock(json_mutex_);
  if (update_time_ == json_time_) return;
  json_time_ = update_time_;
  const VADID_EV7_Data_t record = data_;
  // The host can reach json_data_ through control code 803; a value that takes no members starts over.
  if (!json_data_.isObject()) json_data_ = Json::Value(Json::objectValue);
  json_data_["湿度"] = static_cast<double>(static_cast<float>(record.humidity) / 10.0f);
  json_data_["温度"] = static_cast<double>(static_cast<float>(record.temperature) / 10.0f);
  json_data_["PM2点5"] = static_cast<double>(static_cast<float>(record.pm2_5));
  json_data_["PM10"] = static_cast<double>(static_cast<float>(record.pm10));
  json_data_["PM1点0"] = static_cast<double>(static_cast<float>(record.pm1_0));
  // Built on the stack: one allocation less per round than a chain of strings.
  const ttime& t = record.stamp;
  char text[32];
  char* end = text;
  const unsigned parts[] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
  const char separators[] = "-- ::";
  for (std::size_t i = 0; i < 6; ++i) {
    if (i > 0) *end++ = separators[i - 1];
    end = std::to_chars(end, text + sizeof text, parts[i]).ptr;
  }
  json_data_["更新时间"] = Json::Value(text, end);
}

float VADID_EV7::Get_Value(unsigned int, const std::string&) const {
  if (!data_status_) throw std::out_of_range("数据未就绪");
  const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
  const std::int64_t age = static_cast<std::int64_t>((now - update_time_).total_seconds());
  if (age >= 61) throw std::out_of_range("数据已超时");
  throw std::out_of_range("不支持变量");
}

int VADID_EV7::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap, int& out_len) {
  std::cout << "VADID_EV7::DeviceIoControl " << code << std::endl;
  switch (code) {
    case kWriteOneTag:
      return WriteRegister(in, in_len);
    case kWriteManyTag:
      return WriteRegisters(in, in_len);
    case 310:
    case 320:
      BeginRequest(code);
      // In mode 1 the host's handling of 320 takes the text as it is.
      if (code == 320 && b_mode_ == 1) return ZadeVDevice::DeviceIoControl(code, in, in_len, out, out_cap, out_len);
      if (!IsSignalRequest(in, in_len)) return -1;
      return ZadeVDevice::DeviceIoControl(code, in, in_len, out, out_cap, out_len);
    case 801:
      return ReadingsText(out, out_cap, out_len);
    case 803:
      return ReadingsObject(out, out_cap, out_len);
    default:
      if (out != nullptr && out_cap >= static_cast<int>(sizeof ctrl_result_)) {
        std::memcpy(out, &ctrl_result_, sizeof ctrl_result_);
        out_len = sizeof ctrl_result_;
      } else {
        out_len = 0;
      }
      return ZadeVDevice::DeviceIoControl(code, in, in_len, out, out_cap, out_len);
  }
}

void VADID_EV7::BeginRequest(int code) {
  tab_ = code;
  ctrl_result_ = -1;
  ZadeSPDevice::OpenPort();
}

// Input words are native 16-bit values in a byte buffer of any alignment.
int VADID_EV7::WriteRegister(const void* in, int in_len) {
  unsigned short words[2];
  if (in == nullptr || in_len < static_cast<int>(sizeof words)) return -1;
  std::memcpy(words, in, sizeof words);
  BeginRequest(kWriteOneTag);
  ctrl_expect_ = words[1];
  modbus_write_register(words[0], ctrl_expect_);
  return 0;
}

int VADID_EV7::WriteRegisters(const void* in, int in_len) {
  std::array<unsigned short, kMaxWriteRegisters + 1> words;
  if (in == nullptr || in_len < 4) return -1;
  const int count = in_len / 2 - 1;
  // A write that no device can take must not be answered as done.
  if (count > kMaxWriteRegisters) return -1;
  std::memcpy(words.data(), in, static_cast<std::size_t>(count + 1) * sizeof(words[0]));
  BeginRequest(kWriteManyTag);
  ctrl_expect_ = count;
  modbus_write_registers(words[0], count, words.data() + 1);
  return 0;
}

int VADID_EV7::ReadingsText(void* out, int out_cap, int& out_len) {
  GenJsonData();
  std::string text;
  {
    std::lock_guard<std::mutex> lock(json_mutex_);
    text = Json::FastWriter().write(json_data_);
  }
  out_len = static_cast<int>(text.size());
  if (out == nullptr || out_cap < out_len) return -1;
  std::memcpy(out, text.data(), text.size());
  return 0;
}

// Hands out the address of json_data_, as wide as a pointer of this build (4 bytes on the 32-bit target).
int VADID_EV7::ReadingsObject(void* out, int out_cap, int& out_len) {
  GenJsonData();
  const Json::Value* readings = &json_data_;
  out_len = sizeof readings;
  if (out == nullptr || out_cap < out_len) return -1;
  std::memcpy(out, &readings, sizeof readings);
  return 0;
}

// A signal request is a JSON object whose "signal_id", unless absent or null, is a string. Anything else is refused
// like text that is not JSON; no error of the JSON library leaves the device.
bool VADID_EV7::IsSignalRequest(const void* in, int in_len) {
  if (in_len < 0 || (in == nullptr && in_len > 0)) return false;
  const char* text = in_len == 0 ? "" : static_cast<const char*>(in);
  Json::CharReaderBuilder builder;
  builder["stackLimit"] = kMaxRequestDepth;
  builder["collectComments"] = false;
  // Accept no more than the classic Json::Reader does: no trailing commas, no byte-order mark.
  builder["allowTrailingCommas"] = false;
  builder["skipBom"] = false;
  Json::Value request;
  try {
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text, text + in_len, &request, nullptr)) return false;
  } catch (const std::exception&) {
    return false;
  }
  if (!request.isObject()) return false;
  const Json::Value& signal_id = request["signal_id"];
  return signal_id.isNull() || signal_id.isString();
}
