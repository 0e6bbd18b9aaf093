// Construction and destruction of the framework classes, and the time stamp conversion. Shared by the stand-in host and the recording test
// host; it is where the classes' virtual tables and type information are emitted.
#include "zade_base.h"

#include "framework/framework.h"

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;
ZadeVDevice::ZadeVDevice() = default;
ZadeVDevice::~ZadeVDevice() = default;
ZadeSPDevice::ZadeSPDevice() = default;
ZadeSPDevice::~ZadeSPDevice() = default;
SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

ttime ttime_of(const boost::posix_time::ptime& t) {
  ttime out{};
  if (t.is_special()) return out;
  const auto d = t.date();
  const auto tod = t.time_of_day();
  out.year = static_cast<std::uint16_t>(d.year());
  out.month = static_cast<std::uint8_t>(d.month().as_number());
  out.day = static_cast<std::uint8_t>(d.day());
  out.hour = static_cast<std::uint8_t>(tod.hours());
  out.minute = static_cast<std::uint8_t>(tod.minutes());
  out.second = static_cast<std::uint8_t>(tod.seconds());
  return out;
}
