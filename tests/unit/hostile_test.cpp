// Hostile input, one row per input with its defined outcome: files, configurations, control requests and
// cache records that a host or a broken installation may hand the device. None may crash, hang or take
// unbounded memory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <json/json.h>
#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include "device_fixture.h"
#include "expect.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

// The loader's outcome for one input: nothing thrown (the host's part then runs), or the exception.
struct Outcome {
  std::exception_ptr error;
  bool host_init = false;
};

class HostileTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    dev.data_id_ = 1201;
  }

  Outcome init(const Json::Value& config) {
    Outcome o;
    rec::reset();
    capture();
    try {
      dev.InitSetting(config);
    } catch (...) {
      o.error = std::current_exception();
    }
    captured();
    o.host_init = !rec::calls("SPModbus::InitSetting").empty();
    return o;
  }

  Outcome init_mode1() {
    Json::Value config;
    config["appSetting"]["b_mode"] = "1";
    return init(config);
  }

  ScratchDir dir;
};

// No exception: the host's part of InitSetting runs.
Check Loads() {
  return [](const std::exception_ptr& error) { EXPECT_FALSE(error); };
}

std::string nested_yaml(int depth) {
  return "AI:\n  k: " + std::string(depth, '[') + std::string(depth, ']') + "\n";
}

struct FileRow {
  const char* input;
  std::function<void(const ScratchDir&)> make;
  Check expect;
};

TEST_F(HostileTest, ConfigurationFiles) {
  const std::string yaml = "./ini/1201.yaml";
  const std::string ini = "./ini/1201.ini";
  const std::string large = "file larger than 1048576 bytes";
  const FileRow rows[] = {
      {"empty YAML", [](const ScratchDir& d) { d.write("ini/1201.yaml", ""); }, Loads()},
      {"empty INI", [](const ScratchDir& d) { d.write("ini/1201.ini", ""); },
       Throws<boost::property_tree::ptree_bad_path>("No such node (AI)")},
      {"binary YAML", [](const ScratchDir& d) { d.write("ini/1201.yaml", std::string("\x00\x01\x02\xff\xfe:\x7f", 7)); },
       Throws<YAML::BadSubscript>("yaml-cpp: error at line 1, column 1: operator[] call on a scalar (key: \"AI\")")},
      {"binary INI", [](const ScratchDir& d) { d.write("ini/1201.ini", std::string("\x00\x01\x02\xff\xfe\n\x7f", 7)); },
       Throws<boost::property_tree::ini_parser_error>(ini + "(1): '=' character not found in line")},
      {"non-UTF-8 YAML", [](const ScratchDir& d) { d.write("ini/1201.yaml", "AI:\n  \xff\xfe: \xc0\xaf,\x80\n"); },
       Loads()},
      {"non-UTF-8 INI", [](const ScratchDir& d) { d.write("ini/1201.ini", "[AI]\n\xff\xfe=\xc0\xaf,\x80\n"); },
       Loads()},
      {"YAML nested 10,000 deep", [](const ScratchDir& d) { d.write("ini/1201.yaml", nested_yaml(10000)); },
       [](const std::exception_ptr& error) { EXPECT_THROW(std::rethrow_exception(error), YAML::DeepRecursion); }},
      {"YAML of 50 MB", [](const ScratchDir& d) { d.write("ini/1201.yaml", "AI:\n"); fs::resize_file(d.path() / "ini/1201.yaml", 50 << 20); },
       Throws<YAML::Exception>(large + ": " + yaml)},
      {"INI of 50 MB", [](const ScratchDir& d) { d.write("ini/1201.ini", "[AI]\n"); fs::resize_file(d.path() / "ini/1201.ini", 50 << 20); },
       Throws<boost::property_tree::ini_parser_error>(ini + ": " + large)},
      {"INI repeated key", [](const ScratchDir& d) { d.write("ini/1201.ini", "[AI]\nk=a\nk=b\n"); },
       Throws<boost::property_tree::ini_parser_error>(ini + "(3): duplicate key name")},
      {"INI repeated section", [](const ScratchDir& d) { d.write("ini/1201.ini", "[AI]\nk=a\n[AI]\nj=b\n"); },
       Throws<boost::property_tree::ini_parser_error>(ini + "(3): duplicate section name")},
      {"YAML name is a directory", [](const ScratchDir&) { fs::create_directories("ini/1201.yaml"); },
       Throws<YAML::BadFile>("bad file: " + yaml)},
      {"INI name is a directory", [](const ScratchDir&) { fs::create_directories("ini/1201.ini"); },
       Throws<boost::property_tree::ini_parser_error>(ini + ": cannot open file")},
      // A FIFO would block the host's thread in the open until some writer came.
      {"YAML name is a FIFO", [](const ScratchDir&) { fs::create_directories("ini"); ASSERT_EQ(mkfifo("ini/1201.yaml", 0600), 0); },
       Throws<YAML::BadFile>("bad file: " + yaml)},
      {"INI name is a FIFO", [](const ScratchDir&) { fs::create_directories("ini"); ASSERT_EQ(mkfifo("ini/1201.ini", 0600), 0); },
       Throws<boost::property_tree::ini_parser_error>(ini + ": cannot open file")},
      {"YAML name is a dangling link (not found)", [](const ScratchDir&) { fs::create_directories("ini"); fs::create_symlink("gone", "ini/1201.yaml"); },
       Loads()},
  };
  for (const FileRow& row : rows) {
    SCOPED_TRACE(row.input);
    dir.remove("ini");
    row.make(dir);
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = init_mode1();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    row.expect(o.error);
    EXPECT_EQ(o.host_init, !o.error);
  }
}

TEST_F(HostileTest, UnreadableFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  dir.write("ini/1201.yaml", "AI:\n");
  ASSERT_EQ(chmod("ini/1201.yaml", 0), 0);
  ExpectError<YAML::BadFile>(init_mode1().error, "bad file: ./ini/1201.yaml");
}

struct ConfigRow {
  const char* config;
  Check expect;
  int mode;  // b_mode_ afterwards; the device starts in 1
};

// Configurations with keys of the wrong type. The device starts each row in mode 1 with no device file, so
// only the JSON side is at work.
TEST_F(HostileTest, ConfigurationKeysOfTheWrongType) {
  const std::string requires_object = "in Json::Value::find(begin, end): requires objectValue or nullValue";
  const ConfigRow rows[] = {
      {"[]", Throws<Json::LogicError>(requires_object), 1},
      {"\"text\"", Throws<Json::LogicError>(requires_object), 1},
      {"7", Throws<Json::LogicError>(requires_object), 1},
      {"null", Loads(), 1},
      {R"({"appSetting": []})", Loads(), 1},
      {R"({"appSetting": 3})", Loads(), 1},
      {R"({"appSetting": {"b_mode": {}}})", Throws<Json::LogicError>("Type is not convertible to string"), 1},
      {R"({"appSetting": {"b_mode": [3]}})", Throws<Json::LogicError>("Type is not convertible to string"), 1},
      {R"({"appSetting": {"b_mode": 3.9}})", Loads(), 3},
      {R"({"appSetting": {"b_mode": false}})", Loads(), 0},
      {R"({"appSetting": {"b_mode": "99999999999999999999999"}})", Loads(), INT_MAX},
      {R"({"appSetting": {"b_mode": "-99999999999999999999999"}})", Loads(), INT_MIN},
      {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [1]})", Throws<Json::LogicError>(requires_object), 3},
      {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": "x"})", Loads(), 3},
      {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"1": {"ID": {}}}})",
       Throws<Json::LogicError>("Type is not convertible to string"), 3},
      {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"1": {"SignalName": [1]}}})",
       Throws<Json::LogicError>("Type is not convertible to string"), 3},
      {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"1": [], "2": 5, "3": null}})", Loads(), 3},
  };
  for (const ConfigRow& row : rows) {
    SCOPED_TRACE(row.config);
    dev.b_mode_ = 1;
    Json::Value config;
    std::string errors;
    const std::string text = row.config;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &config, &errors)) << errors;
    const Outcome o = init(config);
    row.expect(o.error);
    EXPECT_EQ(dev.b_mode_, row.mode);
  }
}

struct ControlRow {
  const char* input;
  int code;
  std::vector<unsigned char> in;
  bool null_in;
  int in_len;  // -1: the size of `in`
  int result;
};

// Malformed control requests are refused before anything is sent or changed.
TEST_F(HostileTest, ControlRequests) {
  const std::string deep(5000, '[');
  const std::vector<unsigned char> deep_bytes(deep.begin(), deep.end());
  const std::vector<unsigned char> six(6, 1);
  const ControlRow rows[] = {
      {"206 with no bytes", 206, {}, false, -1, -1},
      {"206 with 1 byte", 206, {1}, false, -1, -1},
      {"206 with 3 bytes", 206, {1, 2, 3}, false, -1, -1},
      {"206 with a negative length", 206, {1, 2, 3, 4}, false, -5, -1},
      {"206 with a null buffer", 206, {}, true, 4, -1},
      {"210 with no bytes", 210, {}, false, -1, -1},
      {"210 with 3 bytes", 210, {1, 2, 3}, false, -1, -1},
      {"210 with 124 values", 210, std::vector<unsigned char>(250, 1), false, -1, -1},
      {"210 with 124 values and an odd byte", 210, std::vector<unsigned char>(251, 1), false, -1, -1},
      {"210 with 2000 values", 210, std::vector<unsigned char>(4002, 1), false, -1, -1},
      {"210 with a null buffer", 210, {}, true, 8, -1},
      {"310 with JSON 5,000 deep", 310, deep_bytes, false, -1, -1},
      {"310 with a null buffer", 310, {}, true, 10, -1},
      {"310 with a negative length", 310, six, false, -1000, -1},
  };
  for (const ControlRow& row : rows) {
    SCOPED_TRACE(row.input);
    rec::reset();
    dev.tab_ = 11;
    dev.ctrl_result_ = 1;
    dev.ctrl_expect_ = 42;
    unsigned char out[8] = {};
    int out_len = -7;
    const int in_len = row.in_len == -1 ? static_cast<int>(row.in.size()) : row.in_len;
    capture();
    const int result = dev.DeviceIoControl(row.code, row.null_in ? nullptr : row.in.data(), in_len, out, sizeof out, out_len);
    captured();
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(out_len, -7);
    EXPECT_EQ(dev.ctrl_expect_, 42);
    EXPECT_EQ(rec::calls("modbus_write_register").size() + rec::calls("modbus_write_registers").size() +
                  rec::calls("ZadeVDevice::DeviceIoControl").size(),
              0u);
    // Signal requests keep their preamble; writes are refused before it.
    if (row.code != 310) {
      EXPECT_EQ(dev.tab_, 11);
      EXPECT_EQ(dev.ctrl_result_, 1);
    }
  }
}

TEST_F(HostileTest, OddLengthsDropTheTrailingByte) {
  for (int in_len : {5, 7, 249}) {
    rec::reset();
    std::vector<unsigned char> in(static_cast<std::size_t>(in_len), 0);
    int out_len = 0;
    capture();
    EXPECT_EQ(dev.DeviceIoControl(210, in.data(), in_len, nullptr, 0, out_len), 0) << in_len;
    captured();
    EXPECT_EQ(dev.ctrl_expect_, in_len / 2 - 1);
  }
}

TEST_F(HostileTest, NullOutputBuffers) {
  dev.tab_ = 11;
  capture();
  dev.reply({1, 2, 3, 4, 5});
  for (int code : {801, 802, 803, 12345}) {
    int out_len = -7;
    const int result = dev.DeviceIoControl(code, nullptr, 0, nullptr, 1 << 20, out_len);
    if (code == 801 || code == 803) {
      EXPECT_EQ(result, -1) << code;
      EXPECT_GT(out_len, 0) << code;
    } else {
      EXPECT_EQ(out_len, 0) << code;
    }
  }
  captured();
}

TEST_F(HostileTest, CacheRecordsOfEveryWrongLength) {
  unsigned char record[64] = {0xAB};
  for (int length = -1; length <= 64; ++length) {
    if (length == 21) continue;
    EXPECT_FALSE(dev.LoadFromCache(record, length)) << length;
  }
  for (int length : {INT_MIN, -21, INT_MAX}) EXPECT_FALSE(dev.LoadFromCache(record, length)) << length;
  EXPECT_FALSE(dev.LoadFromCache(nullptr, 21));
  EXPECT_FALSE(dev.LoadFromCache(nullptr, 0));
  EXPECT_TRUE(rec::log().empty());
  EXPECT_FALSE(dev.data_status_);
}

}  // namespace
