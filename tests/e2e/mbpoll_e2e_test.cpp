// A Modbus master we did not write, mbpoll, against vu7-sim: the register map and a write agree.
#include <regex>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// "[0]: \t523" lines, in order.
std::vector<int> Registers(const std::string& out) {
  std::vector<int> values;
  const std::regex line(R"(^\[(\d+)\]:\s+(-?\d+)\s*$)");
  std::istringstream in(out);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (std::regex_match(text, m, line)) values.push_back(std::stoi(m[2]));
  }
  return values;
}

class Mbpoll : public HostE2E {
 protected:
  void SetUp() override {
    HostE2E::SetUp();
    if (std::string(MBPOLL).empty()) GTEST_SKIP() << "mbpoll is not installed (scripts/bootstrap installs it)";
  }

  // Holding registers, PDU addresses from 0, one poll.
  Finished Poll(const std::vector<std::string>& where, const std::vector<std::string>& args) {
    std::vector<std::string> argv{MBPOLL};
    argv.insert(argv.end(), where.begin(), where.end());
    argv.insert(argv.end(), {"-a", "1", "-t", "4", "-0", "-1"});
    argv.insert(argv.end(), args.begin(), args.end());
    return RunToEnd(argv, dir_.path(), kPatience);
  }
};

TEST_F(Mbpoll, ReadsTheFiveRegistersAndWritesOneOverSerial) {
  auto sim = StartSim({"--values", "523,251,35,40,20"});
  const std::vector<std::string> rtu{"-m", "rtu", "-b", "9600", "-P", "none"};
  Finished read = Poll(rtu, {"-r", "0", "-c", "5", link()});
  ASSERT_EQ(read.status, 0) << read.out << read.err;
  EXPECT_EQ(Registers(read.out), (std::vector<int>{523, 251, 35, 40, 20}));

  const Finished write = Poll(rtu, {"-r", "5", link(), "300"});
  ASSERT_EQ(write.status, 0) << write.out << write.err;
  read = Poll(rtu, {"-r", "5", "-c", "1", link()});
  EXPECT_EQ(Registers(read.out), (std::vector<int>{300}));

  // The readings are not writable: the simulator answers with an exception, mbpoll reports it.
  const Finished refused = Poll(rtu, {"-r", "0", link(), "1"});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE((refused.out + refused.err).find("Illegal data address"), std::string::npos) << refused.out << refused.err;
}

TEST_F(Mbpoll, ReadsTheFiveRegistersOverTcp) {
  auto sim = StartTcpSim({"--values", "523,251,35,40,20"});
  ASSERT_FALSE(tcp_.empty());
  const std::string port = tcp_.substr(tcp_.rfind(':') + 1);
  const Finished read = Poll({"-m", "tcp", "-p", port}, {"-r", "0", "-c", "5", "127.0.0.1"});
  ASSERT_EQ(read.status, 0) << read.out << read.err;
  EXPECT_EQ(Registers(read.out), (std::vector<int>{523, 251, 35, 40, 20}));
}

}  // namespace
}  // namespace e2e
