// Bad inputs to devhost: each answered with one line on standard error and a non-zero exit status.
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string Config(const std::string& device) { return "{\"devices\": [" + device + "]}"; }

const std::string kGood = R"({"name": "room-1", "plugin": "@PLUGIN@", "dataId": 1201, "bus": {"port": "/nonexistent/ttyUSB9"}})";

TEST(DevhostInput, BadInputGetsOneLineAndAnExitStatus) {
  struct Case {
    const char* name;
    std::string config;  // host.json; not written when empty
    std::vector<std::string> args;
    int status;
    std::string message;
    bool broken_ini = false;
  } cases[] = {
      {"configuration not JSON", "{\"devices\": [", {}, 1, "host.json: not JSON: "},
      {"configuration not an object", "[1]", {}, 1, "the configuration must be a JSON object"},
      {"no devices", "{}", {}, 1, "missing field \"devices\""},
      {"device without a data id",
       Config(R"({"name": "room-1", "plugin": "@PLUGIN@", "bus": {"port": "/dev/null"}})"), {}, 1,
       "devices[0] (room-1): missing field \"dataId\""},
      {"bus without port or tcp", Config(R"({"name": "room-1", "plugin": "@PLUGIN@", "dataId": 1, "bus": {}})"), {}, 1,
       "devices[0] (room-1): bus: give one of \"port\" and \"tcp\""},
      {"baud that is not a number",
       Config(R"({"name": "room-1", "plugin": "@PLUGIN@", "dataId": 1, "bus": {"port": "/dev/null", "baud": "fast"}})"),
       {}, 1, "\"baud\" must be a whole number"},
      {"AO entry with an unknown check",
       Config(R"({"name": "room-1", "plugin": "@PLUGIN@", "dataId": 1, "bus": {"port": "/dev/null"},
                  "ao": {"0418101001": {"absband": 1}}})"),
       {}, 1, "ao \"0418101001\": unknown field \"absband\""},
      {"plug-in that does not exist", Replace(Config(kGood), "@PLUGIN@", "@DIR@/none.so"), {}, 1,
       "device \"room-1\": cannot load plug-in: "},
      {"plug-in without get_providers", Replace(Config(kGood), "@PLUGIN@", NO_PROVIDERS_PLUGIN), {}, 1,
       "has no get_providers"},
      {"serial port that cannot be opened", Config(kGood), {}, 1,
       "cannot open serial port /nonexistent/ttyUSB9: No such file or directory"},
      {"InitSetting that throws", Config(kGood), {}, 1, "device \"room-1\": InitSetting failed: ", true},
      {"write to a device not configured", Config(kGood), {"--write", "room-9:5=1"}, 1,
       "--write names device \"room-9\""},
      {"no configuration file", "", {}, 1, "cannot read configuration "},
      {"unknown option", Config(kGood), {"--frobnicate"}, 2, "unknown option \"--frobnicate\""},
      {"rounds that are not a number", Config(kGood), {"--rounds", "ten"}, 2, "--rounds must be a whole number"},
      {"negative interval", Config(kGood), {"--interval", "-1"}, 2, "--interval must be a number of seconds"},
      {"write without a value", Config(kGood), {"--write", "room-1:5="}, 2, "--write wants DEVICE:ADDRESS=VALUE"},
      {"write of a value beyond 16 bits", Config(kGood), {"--write", "room-1:5=65536"}, 2,
       "--write value must be a whole number from 0 to 65535"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (!c.config.empty()) {
      WriteFile(dir / "host.json",
                Replace(Replace(c.config, "@PLUGIN@", VADID_PLUGIN), "@DIR@", dir.path().string()));
    }
    // A signal map that yaml-cpp cannot parse makes the plug-in's InitSetting throw.
    WriteFile(dir / "ini/1201.yaml", c.broken_ini ? "AI: [unclosed\n" : kSignalMap);
    std::vector<std::string> argv{DEVHOST, "-C", dir.path().string(), "--config", "host.json"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Finished run = RunToEnd(argv, dir.path(), kPatience);

    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, "");
    // The plug-in may have printed its own lines first; devhost's answer is the one last line.
    const std::size_t last = run.err.rfind('\n', run.err.size() >= 2 ? run.err.size() - 2 : 0);
    const std::string line = run.err.substr(last == std::string::npos ? 0 : last + 1);
    EXPECT_EQ(line.rfind("devhost: ", 0), 0u) << run.err;
    EXPECT_NE(line.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << run.err;
    EXPECT_EQ(run.err.find("devhost: "), run.err.size() - line.size()) << "more than one line from devhost: " << run.err;
  }
}

TEST(DevhostInput, WithoutAConfigurationItSaysSo) {
  TempDir dir;
  const Finished run = RunToEnd({DEVHOST, "--rounds", "1"}, dir.path(), kPatience);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "devhost: --config FILE is required (see --help)\n");
}

}  // namespace
}  // namespace e2e
