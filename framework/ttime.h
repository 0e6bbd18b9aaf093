#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

#include "zade_api.h"

#pragma pack(push, 1)
// Packed local time stamp as the host stores it in data records: 7 bytes, the year little-endian.
struct ttime {
  std::uint16_t year;
  std::uint8_t month;
  std::uint8_t day;
  std::uint8_t hour;
  std::uint8_t minute;
  std::uint8_t second;
};
#pragma pack(pop)

static_assert(sizeof(ttime) == 7, "ttime is a 7-byte packed record");

ZADE_API ttime get_ttime(boost::posix_time::ptime t);
