// The build is what its target claims, checked where the tests run (under qemu for the 32-bit ARM build):
// the processor, the pointer width and the byte order that reach the host.
#include <sys/utsname.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Set from cmake/target.cmake by the processor the toolchain names; empty for an unlisted one.
constexpr const char kMachine[] = VADID_TARGET_MACHINE;
constexpr std::size_t kPointerBytes = VADID_TARGET_POINTER_BYTES + 0;

class TargetTest : public DeviceTest {
 protected:
  void SetUp() override {
    if (kPointerBytes == 0) GTEST_SKIP() << "no expectations for this processor in cmake/target.cmake";
    DeviceTest::SetUp();
  }

  // `value` as the target lays it out in memory, by definition little-endian.
  static Bytes little_endian(std::uint64_t value, std::size_t width) {
    Bytes bytes;
    for (std::size_t i = 0; i < width; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return bytes;
  }
};

TEST_F(TargetTest, RunsOnTheTargetProcessor) {
  utsname name{};
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(std::string(name.machine).rfind(kMachine, 0), 0u) << "running on " << name.machine;
}

TEST_F(TargetTest, PointerWidthAndByteOrder) {
  EXPECT_EQ(sizeof(void*), kPointerBytes);
  EXPECT_EQ(sizeof(std::uintptr_t), kPointerBytes);
  const std::uint32_t word = 0x01020304u;
  Bytes bytes(sizeof word);
  std::memcpy(bytes.data(), &word, sizeof word);
  EXPECT_EQ(bytes, (Bytes{0x04, 0x03, 0x02, 0x01}));
}

// Control code 803 hands out the readings' address: one target pointer, its bytes in target order.
TEST_F(TargetTest, ReadingsObjectIsOneTargetPointer) {
  Bytes out(16, 0xEE);
  int out_len = -1;
  capture();
  ASSERT_EQ(dev.DeviceIoControl(803, nullptr, 0, out.data(), static_cast<int>(out.size()), out_len), 0);
  captured();
  ASSERT_EQ(out_len, static_cast<int>(kPointerBytes));
  const auto address = reinterpret_cast<std::uintptr_t>(&dev.json_data_);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + out_len), little_endian(address, kPointerBytes));
  EXPECT_EQ(Bytes(out.begin() + out_len, out.end()), Bytes(out.size() - kPointerBytes, 0xEE));
}

// The record keeps its 21 bytes on every target: the data id and a register word in target order.
TEST_F(TargetTest, RecordHandedToTheHostIsLittleEndian) {
  dev.b_mode_ = 0;
  dev.data_.data_id = 0x0A0B0C0Du;
  rec::script().stamp = stamp(2026, 12, 11, 13, 5, 59);
  dev.tab_ = VADID_EV7::kPollTag;
  capture();
  dev.reply({0x1234, 0, 0, 0, 0xBEEF});
  captured();
  ASSERT_EQ(rec::calls("SendSP").size(), 1u);
  EXPECT_EQ(rec::calls("SendSP")[0].bytes, (Bytes{0x0D, 0x0C, 0x0B, 0x0A, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0xEF, 0xBE,
                                                  0xEA, 0x07, 12, 11, 13, 5, 59}));
}

}  // namespace
