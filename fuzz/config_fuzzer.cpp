// Device configuration files: the input becomes ./ini/<id>.yaml or ./ini/<id>.ini of a scratch directory
// and goes through InitSetting. Only the loader's documented exceptions may leave it.
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/exceptions.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <json/value.h>
#include <yaml-cpp/exceptions.h>

#include "probe.h"

namespace {

struct Scratch {
  Scratch() {
    char dir[] = "/tmp/vadid-fuzz-config-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    path = dir;
    if (mkdir("ini", 0755) != 0) std::abort();
  }
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  if (size == 0) return 0;
  const bool yaml = (data[0] & 1) != 0;
  std::remove("ini/1201.yaml");
  std::remove("ini/1201.ini");
  {
    std::ofstream file(yaml ? "ini/1201.yaml" : "ini/1201.ini", std::ios::binary);
    file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  rec::reset();
  Probe dev;
  dev.data_id_ = 1201;
  Json::Value config;
  config["appSetting"]["b_mode"] = "1";
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  try {
    dev.InitSetting(config);
  } catch (const YAML::Exception&) {
  } catch (const boost::property_tree::ptree_error&) {
  }
  // Whatever was loaded must survive a round.
  dev.tab_ = 11;
  dev.reply({1, 2, 3, 4, 5});
  return 0;
}
