// ABI facts the closed host relies on: virtual-table slots and the record's byte layout.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "probe.h"

namespace {

// The table slot a pointer to a virtual member function names. Itanium C++ ABI: the pointer holds 1 + the
// byte offset in the table. ARM's variant keeps the offset itself and marks virtual by the adjustment's low bit.
template <typename F>
long slot_of(F f) {
  struct {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  } rep;
  static_assert(sizeof(F) == sizeof(rep), "a pointer to member function is two words");
  std::memcpy(&rep, &f, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
  EXPECT_EQ(rep.adj & 1, 1) << "not a virtual function";
  return static_cast<long>(rep.ptr / sizeof(void*));
#else
  EXPECT_EQ(rep.ptr & 1, 1u) << "not a virtual function";
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

using LoadString = bool (VDeviceInterface::*)(const std::string&);
using LoadBytes = bool (VDeviceInterface::*)(const unsigned char*, int);

TEST(VirtualTable, HostSlotsInOrder) {
  EXPECT_EQ(slot_of(&VDeviceInterface::Get_Value), 0);
  EXPECT_EQ(slot_of(static_cast<LoadString>(&VDeviceInterface::LoadFromCache)), 1);
  EXPECT_EQ(slot_of(static_cast<LoadBytes>(&VDeviceInterface::LoadFromCache)), 2);
  EXPECT_EQ(slot_of(&VDeviceInterface::DataId), 3);
  EXPECT_EQ(slot_of(&VDeviceInterface::DeviceType), 4);
  EXPECT_EQ(slot_of(&VDeviceInterface::DeviceIoControl), 5);
  EXPECT_EQ(slot_of(&VDeviceInterface::RoundDone), 6);
  EXPECT_EQ(slot_of(&VDeviceInterface::UseControllerDb), 7);
  // 8 and 9: the complete and the deleting destructor.
  EXPECT_EQ(slot_of(&ZadeVDevice::Reset), 10);
  EXPECT_EQ(slot_of(&ZadeVDevice::InitV), 11);
  EXPECT_EQ(slot_of(&ZadeVDevice::Init), 12);
  EXPECT_EQ(slot_of(&ZadeVDevice::InitSetting), 13);
  EXPECT_EQ(slot_of(&ZadeVDevice::IsSupportDevice), 14);
  EXPECT_EQ(slot_of(&ZadeVDevice::GetChildVDevice), 15);
  EXPECT_EQ(slot_of(&ZadeVDevice::GetAllChildVDevices), 16);
  EXPECT_EQ(slot_of(&ZadeVDevice::SendSP), 17);
  EXPECT_EQ(slot_of(&ZadeVDevice::SendDelayData), 18);
  EXPECT_EQ(slot_of(&ZadeVDevice::SendDoData), 19);
  EXPECT_EQ(slot_of(&ZadeVDevice::ReadDi), 20);
  EXPECT_EQ(slot_of(&ZadeVDevice::ReadAi), 21);
  EXPECT_EQ(slot_of(&ZadeVDevice::Get_SP_Value), 22);
  EXPECT_EQ(slot_of(&ZadeSPDevice::RefreshStatus), 23);
  EXPECT_EQ(slot_of(&ZadeSPDevice::process), 24);
  EXPECT_EQ(slot_of(&ZadeSPDevice::IsProcessing), 25);
  EXPECT_EQ(slot_of(&ZadeSPDevice::IsStalled), 26);
  EXPECT_EQ(slot_of(&ZadeSPDevice::SendData), 27);
  EXPECT_EQ(slot_of(&ZadeSPDevice::SendParityData), 28);
  EXPECT_EQ(slot_of(&ZadeSPDevice::OpenPort), 29);
  EXPECT_EQ(slot_of(&ZadeSPDevice::ClosePort), 30);
  EXPECT_EQ(slot_of(&SPModbus::process_payload), 31);
  EXPECT_EQ(slot_of(&SPModbus::on_error), 32);
}

TEST(VirtualTable, DeviceOverridesKeepTheHostSlots) {
  using Device = UniDataDevice<VADID_EV7_Data_t, SPModbus, 5156>;
  EXPECT_EQ(slot_of(&Device::RunCheckThreshold), 33);
  EXPECT_EQ(slot_of(&Device::GenJsonData), 34);
  EXPECT_EQ(slot_of(&VADID_EV7::Get_Value), 0);
  EXPECT_EQ(slot_of(static_cast<bool (Device::*)(const unsigned char*, int)>(&Device::LoadFromCache)), 2);
  EXPECT_EQ(slot_of(&VADID_EV7::DeviceIoControl), 5);
  EXPECT_EQ(slot_of(&Device::RoundDone), 6);
  EXPECT_EQ(slot_of(&VADID_EV7::InitSetting), 13);
  EXPECT_EQ(slot_of(&VADID_EV7::RefreshStatus), 23);
  EXPECT_EQ(slot_of(&VADID_EV7::process_payload), 31);
  EXPECT_EQ(slot_of(&VADID_EV7::RunCheckThreshold), 33);
  EXPECT_EQ(slot_of(&VADID_EV7::GenJsonData), 34);
}

TEST(Record, SizeAndFieldOffsets) {
  EXPECT_EQ(sizeof(VADID_EV7_Data_t), 21u);
  EXPECT_EQ(sizeof(ttime), 7u);
  EXPECT_EQ(offsetof(VADID_EV7_Data_t, data_id), 0u);
  EXPECT_EQ(offsetof(VADID_EV7_Data_t, humidity), 4u);
  EXPECT_EQ(offsetof(VADID_EV7_Data_t, temperature), 6u);
  EXPECT_EQ(offsetof(VADID_EV7_Data_t, pm2_5), 8u);
  EXPECT_EQ(offsetof(VADID_EV7_Data_t, pm10), 10u);
  EXPECT_EQ(offsetof(VADID_EV7_Data_t, pm1_0), 12u);
  EXPECT_EQ(offsetof(VADID_EV7_Data_t, stamp), 14u);
  EXPECT_EQ(offsetof(ttime, year), 0u);
  EXPECT_EQ(offsetof(ttime, month), 2u);
  EXPECT_EQ(offsetof(ttime, second), 6u);
}

TEST(Record, BytesAreLittleEndian) {
  VADID_EV7_Data_t record{};
  record.data_id = 0x01020304u;
  record.humidity = 0xA1B2;
  record.stamp.year = 2024;
  record.stamp.second = 9;
  unsigned char bytes[21];
  std::memcpy(bytes, &record, sizeof bytes);
  const unsigned char expected_head[] = {0x04, 0x03, 0x02, 0x01, 0xB2, 0xA1};
  EXPECT_EQ(0, std::memcmp(bytes, expected_head, sizeof expected_head));
  EXPECT_EQ(bytes[14], 0xE8);
  EXPECT_EQ(bytes[15], 0x07);
  EXPECT_EQ(bytes[20], 9);
}

}  // namespace
