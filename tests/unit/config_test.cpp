// InitSetting: the operating mode, the device configuration file (search, YAML and INI, the value split) and
// the threshold identities of mode 3. Every test runs in a scratch working directory of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ios>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/throw_exception.hpp>
#include <json/json.h>
#include <yaml-cpp/yaml.h>

#include "device_fixture.h"
#include "expect.h"
#include "scratch_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Names = std::vector<std::string>;
using Signals = std::map<std::string, std::pair<std::string, std::string>>;
using TextMap = std::map<std::string, std::string>;

const std::string kNotFound = "data_id:1201 model:vadid_ev7 b ini not found\n";

Json::Value parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value value;
  std::string errors;
  std::istringstream in(text);
  if (!Json::parseFromStream(builder, in, &value, &errors)) ADD_FAILURE() << "bad JSON " << text << ": " << errors;
  return value;
}

std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}


class ConfigTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    dev.data_id_ = 1201;
  }

  struct Outcome {
    std::string out;           // the console text
    std::exception_ptr error;  // what left InitSetting, if anything
    bool result = false;
  };

  Outcome init(const Json::Value& config) { return init(dev, config); }
  Outcome init(Probe& device, const Json::Value& config) {
    Outcome o;
    capture();
    try {
      o.result = device.InitSetting(config);
    } catch (...) {
      o.error = std::current_exception();
    }
    o.out = captured();
    return o;
  }
  // JSON text; exact matches, so that text is parsed rather than taken as a JSON string.
  Outcome init(const std::string& config) { return init(parse(config)); }
  Outcome init(const char* config) { return init(parse(config)); }

  // The host's part of InitSetting ran (once) exactly when `called`.
  static void ExpectHostInit(bool called) {
    EXPECT_EQ(rec::names(), called ? Names{"SPModbus::InitSetting"} : Names{});
  }

  ScratchDir dir;
};

TEST(ScratchDirTest, EntersItsOwnDirectoryAndRemovesIt) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::path made;
  {
    ScratchDir scratch;
    made = scratch.path();
    EXPECT_NE(made, before);
    EXPECT_EQ(std::filesystem::current_path(), made);
    EXPECT_TRUE(std::filesystem::is_empty(made));
    scratch.write("ini/unicom/x.ini", "[AI]\n");
    EXPECT_EQ(::access("./ini/unicom/x.ini", F_OK), 0);
  }
  EXPECT_EQ(std::filesystem::current_path(), before);
  EXPECT_FALSE(std::filesystem::exists(made));
}

// Which candidate wins. Every file names itself as the signal id of its one entry, so the value read also
// shows that the file was read in the format its name gives.
TEST_F(ConfigTest, SearchOrder) {
  const Names all = {
      "ini/1201.yaml",        "ini/1201.ini",        "ini/vadid_ev7.yaml",        "ini/vadid_ev7.ini",
      "ini/unicom/1201.yaml", "ini/unicom/1201.ini", "ini/unicom/vadid_ev7.yaml", "ini/unicom/vadid_ev7.ini"};
  struct Row {
    unsigned data_id;
    Names files;
    std::string chosen;
  };
  const std::vector<Row> rows = {
      {1201, all, "ini/1201.yaml"},
      {1201, {all.begin() + 1, all.end()}, "ini/1201.ini"},
      {1201, {"ini/1201.ini", "ini/vadid_ev7.yaml"}, "ini/1201.ini"},
      {1201, {all.begin() + 2, all.end()}, "ini/vadid_ev7.yaml"},
      {1201, {all.begin() + 3, all.end()}, "ini/vadid_ev7.ini"},
      {1201, {"ini/vadid_ev7.ini", "ini/unicom/1201.yaml"}, "ini/vadid_ev7.ini"},
      {1201, {all.begin() + 4, all.end()}, "ini/unicom/1201.yaml"},
      {1201, {all.begin() + 5, all.end()}, "ini/unicom/1201.ini"},
      {1201, {all.begin() + 6, all.end()}, "ini/unicom/vadid_ev7.yaml"},
      {1201, {"ini/unicom/vadid_ev7.ini"}, "ini/unicom/vadid_ev7.ini"},
      {7, {"ini/7.yaml", "ini/1201.yaml", "ini/vadid_ev7.yaml"}, "ini/7.yaml"},
      {7, {"ini/07.yaml", "ini/007.ini", "ini/unicom/7.ini"}, "ini/unicom/7.ini"},
      {4294967295u, {"ini/-1.yaml", "ini/4294967295.ini"}, "ini/4294967295.ini"},
      {0, {"ini/0.ini", "ini/unicom/0.yaml"}, "ini/0.ini"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.chosen + " for data id " + std::to_string(row.data_id));
    dir.remove("ini");
    for (const std::string& file : row.files) {
      const bool yaml = file.size() > 5 && file.compare(file.size() - 5, 5, ".yaml") == 0;
      dir.write(file, yaml ? "AI:\n  k: " + file + "\n" : "[AI]\nk = " + file + "\n");
    }
    dev.data_id_ = row.data_id;
    dev.ai_signals_.clear();
    rec::reset();
    const Outcome o = init("{}");
    const std::string id = std::to_string(row.data_id);
    EXPECT_EQ(o.out, "parse ini/yaml filename:./" + row.chosen + "\nAI " + id + "\nfirst:k second:" + row.chosen +
                         " name:" + row.chosen + "\n");
    EXPECT_FALSE(o.error);
    EXPECT_EQ(dev.ai_signals_, (Signals{{"k", {row.chosen, row.chosen}}}));
    ExpectHostInit(true);
  }
}

TEST_F(ConfigTest, NoCandidateGivesTheNotFoundLineAndTheHostStillInitialises) {
  // Near misses only: wrong directory, extension, case or depth.
  for (const char* file : {"1201.yaml", "ini/1201.yml", "ini/1201.YAML", "ini/VADID_EV7.ini", "ini/x/1201.yaml",
                           "unicom/1201.ini", "ini/unicom/x/vadid_ev7.ini", "ini/01201.yaml"}) {
    dir.write(file, "AI:\n  k: v\n");
  }
  dev.ai_signals_ = {{"PM10", {"0418104001", "PM10浓度"}}};
  rec::script().init_setting_result = false;
  const Outcome o = init("{}");
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.out, kNotFound);
  EXPECT_FALSE(o.result);
  ExpectHostInit(true);
  EXPECT_EQ(dev.ai_signals_, (Signals{{"PM10", {"0418104001", "PM10浓度"}}}));
}

// Existence, not readability or kind, decides: a directory under a candidate's name wins, and is refused as a
// file the library cannot open.
TEST_F(ConfigTest, ADirectoryUnderACandidateNameIsChosen) {
  std::filesystem::create_directories("ini/1201.yaml");
  dir.write("ini/1201.ini", "[AI]\nk = v\n");
  const Outcome o = init("{}");
  EXPECT_EQ(o.out, "parse ini/yaml filename:./ini/1201.yaml\n");
  ASSERT_TRUE(o.error);
  ExpectError<YAML::BadFile>(o.error, "bad file: ./ini/1201.yaml");
  ExpectHostInit(false);
  EXPECT_TRUE(dev.ai_signals_.empty());

  dir.remove("ini");
  std::filesystem::create_directories("ini/unicom/vadid_ev7.ini");
  ExpectError<boost::property_tree::ini_parser_error>(init("{}").error, "./ini/unicom/vadid_ev7.ini: cannot open file");
}

TEST_F(ConfigTest, WorkedExampleYaml) {
  dir.write("ini/1201.yaml", "AI:\n  温度: AI-TEMP-01,room temperature\n  湿度: AI-HUMI-01,relative humidity\n");
  const Outcome o = init(R"({"appSetting": {"b_mode": "1"}})");
  EXPECT_FALSE(o.error);
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out,
            "InitSetting 1201 b_mode_:1\n"
            "parse ini/yaml filename:./ini/1201.yaml\n"
            "AI 1201\n"
            "first:温度 second:AI-TEMP-01 name:room temperature\n"
            "first:湿度 second:AI-HUMI-01 name:relative humidity\n");
  // The report follows the key bytes: 温度 is E6 B8 A9 .., 湿度 is E6 B9 BF ..
  const std::string temperature = "温度", humidity = "湿度";
  EXPECT_EQ(Bytes(temperature.begin(), temperature.end()), (Bytes{0xE6, 0xB8, 0xA9, 0xE5, 0xBA, 0xA6}));
  EXPECT_EQ(Bytes(humidity.begin(), humidity.end()), (Bytes{0xE6, 0xB9, 0xBF, 0xE5, 0xBA, 0xA6}));
  EXPECT_EQ(dev.ai_signals_,
            (Signals{{"温度", {"AI-TEMP-01", "room temperature"}}, {"湿度", {"AI-HUMI-01", "relative humidity"}}}));
  const Bytes record = dev.record();
  EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0xB1, 0x04, 0x00, 0x00}));
  ExpectHostInit(true);
}

TEST_F(ConfigTest, WorkedExampleIni) {
  dir.write("ini/unicom/vadid_ev7.ini", "[AI]\nPM2点5 = AI-PM25-01,PM2.5\nPM10=AI-PM10-01, PM10\n");
  const Outcome o = init("{}");
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.out,
            "parse ini/yaml filename:./ini/unicom/vadid_ev7.ini\n"
            "AI 1201\n"
            "first:PM10 second:AI-PM10-01 name: PM10\n"
            "first:PM2点5 second:AI-PM25-01 name:PM2.5\n");
  EXPECT_EQ(dev.ai_signals_, (Signals{{"PM10", {"AI-PM10-01", " PM10"}}, {"PM2点5", {"AI-PM25-01", "PM2.5"}}}));
  ExpectHostInit(true);
}

// Only the entries of the "AI" section count; comments, blanks and other sections do not.
TEST_F(ConfigTest, IniReadsOnlyTheAISection) {
  dir.write("ini/1201.ini",
            "; device 1201\n"
            "PM10 = 0418999003,outside any section\n"
            "[empty]\n"
            "[DI]\n温度 = 0418999001,no\n"
            "[AI]\n"
            "  # a comment\n"
            "\t 温度\t=\t0418102001,room, north \t\n"
            "PM1点0=0418105001\n"
            "[AO]\nPM10 = 0418999002,no\n");
  const Outcome o = init("{}");
  EXPECT_FALSE(o.error);
  EXPECT_EQ(dev.ai_signals_,
            (Signals{{"温度", {"0418102001", "room, north"}}, {"PM1点0", {"0418105001", "0418105001"}}}));
}

TEST_F(ConfigTest, ValueSplitRule) {
  struct Row {
    std::string yaml_value;  // as written in the file
    std::string id, name;
  };
  const std::vector<Row> rows = {
      {"AI-TEMP-01", "AI-TEMP-01", "AI-TEMP-01"},
      {"a,b,c", "a", "b,c"},
      {"\",x\"", "", "x"},
      {"a,", "a", ""},
      {"a, b", "a", " b"},
      {"\" a ,  b \"", " a ", "  b "},
      {"\",\"", "", ""},
      {"\"\"", "", ""},
      {"'0418101001,\"湿度\"'", "0418101001", "\"湿度\""},
      {"", "null", "null"},
      {"~", "null", "null"},
      {"Null", "null", "null"},
  };
  std::string file = "AI:\n";
  for (std::size_t i = 0; i < rows.size(); ++i)
    file += "  k" + std::to_string(i + 10) + ": " + rows[i].yaml_value + "\n";
  dir.write("ini/1201.yaml", file);
  const Outcome o = init("{}");
  ASSERT_FALSE(o.error);
  ASSERT_EQ(dev.ai_signals_.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].yaml_value);
    EXPECT_EQ(dev.ai_signals_["k" + std::to_string(i + 10)], std::make_pair(rows[i].id, rows[i].name));
  }
  EXPECT_NE(o.out.find("first:k19 second:null name:null\n"), std::string::npos) << o.out;
}

// A YAML file without "AI", or with nothing under it, stores nothing but still reports what is held.
TEST_F(ConfigTest, YamlWithoutEntriesReportsTheMapAsItIs) {
  dev.ai_signals_ = {{"PM10", {"0418104001", "PM10浓度"}}};
  for (const char* text :
       {"DI:\n  温度: 0418102001,x\n", "AI:\n", "AI: ~\n", "AI: {}\n", "AI: []\n", "AI: 0418104002\n", "",
        "# only a comment\n", "ai:\n  温度: 0418102001,x\n", "- AI: {温度: 0418102001}\n"}) {
    SCOPED_TRACE(text);
    dir.write("ini/1201.yaml", text);
    rec::reset();
    const Outcome o = init("{}");
    EXPECT_FALSE(o.error);
    EXPECT_EQ(o.out, "parse ini/yaml filename:./ini/1201.yaml\nAI 1201\nfirst:PM10 second:0418104001 name:PM10浓度\n");
    EXPECT_EQ(dev.ai_signals_, (Signals{{"PM10", {"0418104001", "PM10浓度"}}}));
    ExpectHostInit(true);
  }
}

// A failing load leaves InitSetting with the library's exception, before the host's part; what was written
// before the failure stays (the data id in the record, the mode, the entries already stored).
TEST_F(ConfigTest, FileErrorsLeaveInitSettingWithTheLibrarysException) {
  const Signals before = {{"PM10", {"0418104001", "PM10浓度"}}};
  struct Row {
    std::string file, text;
    Check check;
    Signals after;
  };
  const std::vector<Row> rows = {
      {"ini/1201.yaml", "AI: [unclosed\n",
       Throws<YAML::ParserException>("yaml-cpp: error at line 2, column 1: end of sequence flow not found"), before},
      {"ini/1201.yaml",
       "AI:\n  湿度: 0418101001,环境湿度\n  温度: {a: b}\n  PM1点0: 0418105001,never\n",
       Throws<YAML::TypedBadConversion<std::string>>("yaml-cpp: error at line 3, column 11: bad conversion"),
       {{"PM10", {"0418104001", "PM10浓度"}}, {"湿度", {"0418101001", "环境湿度"}}, {"温度", {"", ""}}}},
      {"ini/1201.yaml", "AI:\n  PM10: [0418104002, x]\n",
       Throws<YAML::TypedBadConversion<std::string>>("yaml-cpp: error at line 2, column 9: bad conversion"), before},
      {"ini/1201.yaml", "AI:\n  ? {a: b}\n  : 0418104002\n",
       Throws<YAML::TypedBadConversion<std::string>>("yaml-cpp: error at line 2, column 5: bad conversion"), before},
      {"ini/1201.yaml", "0418104002,PM10\n",
       Throws<YAML::BadSubscript>("yaml-cpp: error at line 1, column 1: operator[] call on a scalar (key: \"AI\")"),
       before},
      {"ini/1201.yaml", "AI: [0418104002]\n",
       Throws<YAML::InvalidNode>(
           "invalid node; this may result from using a map iterator as a sequence iterator, or vice-versa"),
       before},
      {"ini/1201.ini", "[DI]\n温度 = 0418102001\n", Throws<boost::property_tree::ptree_bad_path>("No such node (AI)"),
       before},
      {"ini/1201.ini", "[AI]\n; none yet\n\n[DI]\n温度 = 0418102001\n",
       Throws<boost::property_tree::ptree_bad_path>("No such node (AI)"), before},
      {"ini/1201.ini", "[DI]\n温度 = 0418102001\n[AI]\n# none yet\n",
       Throws<boost::property_tree::ptree_bad_path>("No such node (AI)"), before},
      {"ini/1201.ini", "[AI]\nPM10 = 0418104002\nPM10 = 0418104003\n",
       Throws<boost::property_tree::ini_parser_error>("./ini/1201.ini(3): duplicate key name"), before},
      {"ini/1201.ini", "[AI]\n湿度 = 0418101001\n[AI]\n温度 = 0418102001\n",
       Throws<boost::property_tree::ini_parser_error>("./ini/1201.ini(3): duplicate section name"), before},
      {"ini/1201.ini", "[AI]\n湿度 = 0418101001\nPM10\n",
       Throws<boost::property_tree::ini_parser_error>("./ini/1201.ini(3): '=' character not found in line"), before},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    dir.remove("ini");
    dir.write(row.file, row.text);
    dev.ai_signals_ = before;
    dev.b_mode_ = 0;
    dev.data_.data_id = 0;
    rec::reset();
    const Outcome o = init(R"({"appSetting": {"b_mode": 1}})");
    row.check(o.error);
    EXPECT_EQ(o.out, "InitSetting 1201 b_mode_:1\nparse ini/yaml filename:./" + row.file + "\n");
    ExpectHostInit(false);
    EXPECT_EQ(dev.ai_signals_, row.after);
    EXPECT_EQ(dev.b_mode_, 1);
    EXPECT_EQ(dev.data_.data_id, 1201u);
  }
}

TEST_F(ConfigTest, ASecondInitSettingKeepsWhatTheNewConfigurationLacks) {
  dir.write("ini/1201.yaml", "AI:\n  温度: 0418102001,环境温度\n  湿度: 0418101001,环境湿度\n");
  ASSERT_FALSE(init("{}").error);

  // Another file, another format: 湿度 is overwritten, PM10 added, 温度 stays.
  dir.remove("ini");
  dir.write("ini/unicom/vadid_ev7.ini", "[AI]\n湿度 = 0418101002,新湿度\nPM10 = 0418104001,PM10浓度\n");
  Outcome o = init("{}");
  ASSERT_FALSE(o.error);
  EXPECT_EQ(o.out,
            "parse ini/yaml filename:./ini/unicom/vadid_ev7.ini\n"
            "AI 1201\n"
            "first:PM10 second:0418104001 name:PM10浓度\n"
            "first:温度 second:0418102001 name:环境温度\n"
            "first:湿度 second:0418101002 name:新湿度\n");
  const Signals three = {
      {"PM10", {"0418104001", "PM10浓度"}}, {"温度", {"0418102001", "环境温度"}}, {"湿度", {"0418101002", "新湿度"}}};
  EXPECT_EQ(dev.ai_signals_, three);

  // Mode 3 leaves the signal map alone; without "b_mode" the mode stays 3 and thresholds accumulate.
  ASSERT_FALSE(init(R"({"appSetting": {"b_mode": 3},
                        "thresholdSetting": {"101": {"SignalName": "温度过高", "NMAlarmID": "A01", "ID": "1",
                                                     "SignalNumber": 1}}})")
                   .error);
  o = init(R"({"thresholdSetting": {"102": {"NMAlarmID": "A02", "ID": "2", "SignalNumber": 1}}})");
  ASSERT_FALSE(o.error);
  EXPECT_EQ(o.out, "here 1\nhere 2\nhere 102\nmobile:102:A02;2;1; level:0 value:0\n");
  EXPECT_EQ(dev.b_mode_, 3);
  EXPECT_EQ(dev.ai_signals_, three);

  // Back to mode 1 without any file: the signal map and the thresholds stay as they are.
  dir.remove("ini");
  o = init(R"({"appSetting": {"b_mode": "1"}, "thresholdSetting": {"103": {"ID": "3"}}})");
  ASSERT_FALSE(o.error);
  EXPECT_EQ(o.out, "InitSetting 1201 b_mode_:1\n" + kNotFound);
  EXPECT_EQ(dev.ai_signals_, three);
  EXPECT_EQ(dev.threshold_ids_, (TextMap{{"101", "A01;1;1;"}, {"102", "A02;2;1;"}}));
  EXPECT_EQ(dev.threshold_signal_names_, (TextMap{{"101", "温度过高"}}));
}

// The mode: atoi of the text form of "b_mode", clamped to int beyond its range; kept when "b_mode" is absent.
TEST_F(ConfigTest, OperatingModeFromTheConfiguration) {
  struct Row {
    std::string config;
    int mode_before, mode;
    std::string out;
  };
  const auto line = [](int mode) { return "InitSetting 1201 b_mode_:" + std::to_string(mode) + "\n"; };
  const std::vector<Row> rows = {
      {"{}", 1, 1, kNotFound},
      {"null", 1, 1, kNotFound},
      {R"({"appSetting": "b_mode"})", 1, 1, kNotFound},
      {R"({"appSetting": 3})", 1, 1, kNotFound},
      {R"({"appSetting": {}})", 1, 1, kNotFound},
      {R"({"appSetting": {"b_mode": null}})", 1, 1, kNotFound},
      {R"({"b_mode": 3, "appSetting": {"B_mode": 3}})", 1, 1, kNotFound},
      {"{}", 0, 0, ""},
      {"{}", 3, 3, "here 1\n"},
      {R"({"appSetting": {"b_mode": 3}})", 1, 3, line(3) + "here 1\n"},
      {R"({"appSetting": {"b_mode": "3"}})", 1, 3, line(3) + "here 1\n"},
      {R"({"appSetting": {"b_mode": 1}})", 0, 1, line(1) + kNotFound},
      {R"({"appSetting": {"b_mode": "abc"}})", 1, 0, line(0)},
      {R"({"appSetting": {"b_mode": ""}})", 1, 0, line(0)},
      {R"({"appSetting": {"b_mode": true}})", 1, 0, line(0)},
      {R"({"appSetting": {"b_mode": false}})", 1, 0, line(0)},
      {R"({"appSetting": {"b_mode": -1}})", 1, -1, line(-1)},
      {R"({"appSetting": {"b_mode": " 7"}})", 1, 7, line(7)},
      {R"({"appSetting": {"b_mode": "\t\n +1"}})", 0, 1, line(1) + kNotFound},
      {R"({"appSetting": {"b_mode": "3x"}})", 1, 3, line(3) + "here 1\n"},
      {R"({"appSetting": {"b_mode": "0x10"}})", 1, 0, line(0)},
      {R"({"appSetting": {"b_mode": "- 3"}})", 1, 0, line(0)},
      {R"({"appSetting": {"b_mode": 3.9}})", 1, 3, line(3) + "here 1\n"},
      {R"({"appSetting": {"b_mode": "2147483647"}})", 1, INT_MAX, line(INT_MAX)},
      {R"({"appSetting": {"b_mode": "-2147483648"}})", 1, INT_MIN, line(INT_MIN)},
      {R"({"appSetting": {"b_mode": "2147483648"}})", 1, INT_MAX, line(INT_MAX)},
      {R"({"appSetting": {"b_mode": "-2147483649"}})", 1, INT_MIN, line(INT_MIN)},
      {R"({"appSetting": {"b_mode": "12345678901234567890"}})", 1, INT_MAX, line(INT_MAX)},
      {R"({"appSetting": {"b_mode": "-12345678901234567890"}})", 1, INT_MIN, line(INT_MIN)},
      {R"({"appSetting": {"b_mode": "00000000000000000003"}})", 1, 3, line(3) + "here 1\n"},
      {R"({"appSetting": {"b_mode": 12345678901234567890}})", 1, INT_MAX, line(INT_MAX)},
      // Beyond 64 bits the number is a double, whose text is 1e+20.
      {R"({"appSetting": {"b_mode": 99999999999999999999}})", 0, 1, line(1) + kNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.config + " from mode " + std::to_string(row.mode_before));
    dev.b_mode_ = row.mode_before;
    rec::reset();
    rec::script().init_setting_result = false;
    const Outcome o = init(row.config);
    EXPECT_FALSE(o.error);
    EXPECT_EQ(dev.b_mode_, row.mode);
    EXPECT_EQ(o.out, row.out);
    EXPECT_FALSE(o.result);
    ExpectHostInit(true);
  }
}

TEST_F(ConfigTest, ConfigurationTheLoaderCannotReadLeavesWithTheJsonError) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"appSetting": {"b_mode": {"mode": 3}}})", "Type is not convertible to string"},
      {R"({"appSetting": {"b_mode": [3]}})", "Type is not convertible to string"},
      {R"([{"appSetting": {"b_mode": 3}}])", "in Json::Value::find(begin, end): requires objectValue or nullValue"},
  };
  for (const auto& [config, what] : rows) {
    SCOPED_TRACE(config);
    dev.b_mode_ = 3;
    dev.data_.data_id = 0;
    rec::reset();
    const Outcome o = init(config);
    ExpectError<Json::LogicError>(o.error, what);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(dev.b_mode_, 3);
    EXPECT_EQ(dev.data_.data_id, 1201u);
    ExpectHostInit(false);
  }
}

TEST_F(ConfigTest, WorkedExampleThresholdIdentities) {
  const Outcome o = init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"101": {
      "SignalName": "temperature high", "NMAlarmID": "A01", "SignalNumber": 1}}})");
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.out,
            "InitSetting 1201 b_mode_:3\n"
            "here 1\n"
            "here 2\n"
            "here 101\n"
            "1201 ID is missing\n"
            "mobile:101:A01;;1; level:0 value:0\n");
  EXPECT_EQ(dev.threshold_signal_names_, (TextMap{{"101", "temperature high"}}));
  EXPECT_EQ(dev.threshold_ids_, (TextMap{{"101", "A01;;1;"}}));
  EXPECT_EQ(dev.threshold_levels_, (std::map<std::string, int>{{"101", 0}}));
  EXPECT_EQ(dev.threshold_values_, (std::map<std::string, float>{{"101", 0.0f}}));
  EXPECT_TRUE(dev.ai_signals_.empty());
  ExpectHostInit(true);
}

// Members come in jsoncpp's order (by the bytes of the name), not the document's.
TEST_F(ConfigTest, ThresholdIdentityParts) {
  dev.threshold_levels_["20"] = 2;
  dev.threshold_values_["20"] = 35.5f;
  dev.threshold_signal_names_ = {{"5", "kept"}, {"3", "kept"}};
  dev.threshold_ids_ = {{"3", "kept"}};
  const Outcome o = init(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
      "20": {"NMAlarmID": null, "ID": "B02", "SignalNumber": 2, "SignalName": "humidity high"},
      "101": {"SignalName": "temperature high", "NMAlarmID": "A01", "SignalNumber": 1},
      "3": "not an object",
      "4": [1, 2],
      "5": {},
      "6": {"SignalName": 7, "NMAlarmID": true, "ID": 1.5, "SignalNumber": "x", "other": {"a": 1}}}})");
  ASSERT_FALSE(o.error);
  EXPECT_EQ(o.out,
            "InitSetting 1201 b_mode_:3\n"
            "here 1\n"
            "here 2\n"
            "here 101\n"
            "1201 ID is missing\n"
            "mobile:101:A01;;1; level:0 value:0\n"
            "here 20\n"
            "1201 NMAlarmID is missing\n"
            "mobile:20:;B02;2; level:2 value:35.5\n"
            "here 3\n"
            "here 4\n"
            "here 5\n"
            "1201 NMAlarmID is missing\n"
            "1201 ID is missing\n"
            "1201 SignalNumber is missing\n"
            "mobile:5:;;; level:0 value:0\n"
            "here 6\n"
            "mobile:6:true;1.5;x; level:0 value:0\n");
  EXPECT_EQ(dev.threshold_ids_,
            (TextMap{{"101", "A01;;1;"}, {"20", ";B02;2;"}, {"3", "kept"}, {"5", ";;;"}, {"6", "true;1.5;x;"}}));
  EXPECT_EQ(dev.threshold_signal_names_,
            (TextMap{{"101", "temperature high"}, {"20", "humidity high"}, {"3", "kept"}, {"5", "kept"}, {"6", "7"}}));
  EXPECT_EQ(dev.threshold_levels_, (std::map<std::string, int>{{"101", 0}, {"20", 2}, {"5", 0}, {"6", 0}}));
  ExpectHostInit(true);
}

TEST_F(ConfigTest, ThresholdSettingWithoutMembers) {
  struct Row {
    std::string setting;
    std::string out;
  };
  const std::vector<Row> rows = {
      {"", "here 1\n"},
      {R"(, "thresholdSetting": null)", "here 1\n"},
      {R"(, "thresholdSetting": {})", "here 1\nhere 2\n"},
      {R"(, "thresholdSetting": [])", "here 1\nhere 2\n"},
      {R"(, "thresholdSetting": "101")", "here 1\nhere 2\n"},
      {R"(, "thresholdSetting": 101)", "here 1\nhere 2\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.setting);
    rec::reset();
    const Outcome o = init(R"({"appSetting": {"b_mode": 3})" + row.setting + "}");
    EXPECT_FALSE(o.error);
    EXPECT_EQ(o.out, "InitSetting 1201 b_mode_:3\n" + row.out);
    ExpectHostInit(true);
  }
  EXPECT_TRUE(dev.threshold_ids_.empty() && dev.threshold_signal_names_.empty() && dev.threshold_levels_.empty());
}

TEST_F(ConfigTest, ThresholdErrorsLeaveWithTheJsonError) {
  struct Row {
    std::string setting;
    std::string what, out;
    TextMap ids, names;
  };
  const std::vector<Row> rows = {
      {R"([{"NMAlarmID": "A01"}])",
       "in Json::Value::find(begin, end): requires objectValue or nullValue",
       "here \n",
       {},
       {}},
      {R"({"101": {"SignalName": "temperature high", "NMAlarmID": {"a": 1}}})",
       "Type is not convertible to string",
       "here 101\n",
       {},
       {{"101", "temperature high"}}},
      {R"({"101": {"SignalName": ["temperature high"]}})", "Type is not convertible to string", "here 101\n", {}, {}},
      {R"({"100": {"ID": "1"}, "101": {"SignalNumber": [1]}})",
       "Type is not convertible to string",
       "here 100\n1201 NMAlarmID is missing\n1201 SignalNumber is missing\nmobile:100:;1;; level:0 value:0\n"
       "here 101\n1201 NMAlarmID is missing\n1201 ID is missing\n",
       {{"100", ";1;;"}},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.setting);
    dev.threshold_ids_.clear();
    dev.threshold_signal_names_.clear();
    rec::reset();
    const Outcome o = init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": )" + row.setting + "}");
    ExpectError<Json::LogicError>(o.error, row.what);
    EXPECT_EQ(o.out, "InitSetting 1201 b_mode_:3\nhere 1\nhere 2\n" + row.out);
    EXPECT_EQ(dev.threshold_ids_, row.ids);
    EXPECT_EQ(dev.threshold_signal_names_, row.names);
    EXPECT_EQ(dev.b_mode_, 3);
    ExpectHostInit(false);
  }
}

// Each mode reads only its own source: mode 3 next to a file that would fail to load, mode 1 with a
// "thresholdSetting" that would fail to read.
TEST_F(ConfigTest, EachModeReadsOnlyItsOwnSource) {
  dir.write("ini/1201.yaml", "AI: [unclosed\n");

  Outcome o = init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"101": {"NMAlarmID": "A01", "ID": "1",
                       "SignalNumber": 1}}})");
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.out, "InitSetting 1201 b_mode_:3\nhere 1\nhere 2\nhere 101\nmobile:101:A01;1;1; level:0 value:0\n");
  EXPECT_TRUE(dev.ai_signals_.empty());

  dir.write("ini/1201.yaml", "AI:\n  PM10: 0418104001,PM10浓度\n");
  rec::reset();
  o = init(R"({"appSetting": {"b_mode": 1}, "thresholdSetting": {"101": {"NMAlarmID": {"a": 1}}}})");
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.out,
            "InitSetting 1201 b_mode_:1\nparse ini/yaml filename:./ini/1201.yaml\nAI 1201\n"
            "first:PM10 second:0418104001 name:PM10浓度\n");
  EXPECT_EQ(dev.threshold_ids_, (TextMap{{"101", "A01;1;1;"}}));
  ExpectHostInit(true);
}

// The shipped example files load as they are, and their signal map covers the published readings.
TEST_F(ConfigTest, ExampleFilesLoad) {
  const std::filesystem::path examples = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "examples";
  ASSERT_TRUE(std::filesystem::exists(examples / "setting-mode1.json")) << examples;
  const Json::Value mode1 = parse(slurp(examples / "setting-mode1.json"));
  const Json::Value mode3 = parse(slurp(examples / "setting-mode3.json"));

  for (const char* file : {"ini/1201.yaml", "ini/unicom/vadid_ev7.ini"}) {
    SCOPED_TRACE(file);
    dir.remove("ini");
    dir.write(file, slurp(examples / file));
    Probe device;
    device.data_id_ = 1201;
    device.update_time_ = boost::posix_time::second_clock::local_time();
    device.GenJsonData();
    rec::reset();
    const Outcome o = init(device, mode1);
    ASSERT_FALSE(o.error);
    EXPECT_EQ(o.out.rfind("InitSetting 1201 b_mode_:1\nparse ini/yaml filename:./" + std::string(file) + "\n", 0), 0u)
        << o.out;
    EXPECT_EQ(device.b_mode_, 1);
    std::set<std::string> keys, readings, ids, names;
    for (const auto& signal : device.ai_signals_) {
      keys.insert(signal.first);
      EXPECT_GE(signal.second.first.size(), 9u) << signal.first;
      ids.insert(signal.second.first);
      names.insert(signal.second.second);
    }
    for (const std::string& name : device.json_data_.getMemberNames())
      if (device.json_data_[name].isNumeric()) readings.insert(name);
    EXPECT_EQ(readings.size(), 5u);
    EXPECT_EQ(keys, readings);
    EXPECT_EQ(ids.size(), 5u);
    EXPECT_EQ(names.size(), 5u);
  }

  rec::reset();
  const Outcome o = init(mode3);
  ASSERT_FALSE(o.error);
  EXPECT_EQ(dev.b_mode_, 3);
  EXPECT_EQ(o.out.find("is missing"), std::string::npos) << o.out;
  EXPECT_EQ(dev.threshold_ids_.size(), mode3["thresholdSetting"].size());
  EXPECT_EQ(dev.threshold_signal_names_.size(), mode3["thresholdSetting"].size());
  EXPECT_TRUE(dev.ai_signals_.empty());
  ExpectHostInit(true);
}

}  // namespace
