#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe.h"
#include "recording_host.h"

// A fresh device against a fresh recording host; standard output is captured per test.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { rec::reset(); }
  void TearDown() override {
    if (capturing_) testing::internal::GetCapturedStdout();
  }

  void capture() {
    testing::internal::CaptureStdout();
    capturing_ = true;
  }
  std::string captured() {
    capturing_ = false;
    return testing::internal::GetCapturedStdout();
  }

  // The stamp every round writes, so that record bytes can be spelled out.
  static ttime stamp(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    return ttime{static_cast<std::uint16_t>(year), static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day),
                 static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second)};
  }

  Probe dev;

 private:
  bool capturing_ = false;
};
