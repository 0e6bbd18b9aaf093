#pragma once

#include <cstdint>

#include "framework/ttime.h"

#pragma pack(push, 1)
// The sensor's data record, 21 bytes little-endian, as the host transmits and stores it (data type 5156).
struct VADID_EV7_Data_t {
  std::uint32_t data_id;
  std::uint16_t humidity;     // register 0, tenths
  std::uint16_t temperature;  // register 1, tenths
  std::uint16_t pm2_5;        // register 2
  std::uint16_t pm10;         // register 3
  std::uint16_t pm1_0;        // register 4
  ttime stamp;
};
#pragma pack(pop)

static_assert(sizeof(VADID_EV7_Data_t) == 21, "the record is 21 bytes");
