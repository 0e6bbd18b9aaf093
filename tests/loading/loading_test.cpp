// Loads the built plug-in the way a host does, into a process whose framework is the recording host.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "framework/provider.h"
#include "recording_host.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

class Loading : public ::testing::Test {
 protected:
  void SetUp() override {
    rec::reset();
    handle_ = dlopen(VADID_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    get_providers_ = reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
    ASSERT_NE(get_providers_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(dlclose(handle_), 0);
    }
  }

  void* handle_ = nullptr;
  GetProviders get_providers_ = nullptr;
};

TEST_F(Loading, EachCallMakesOneFreshProvider) {
  auto first = get_providers_();
  auto second = get_providers_();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0].get(), second[0].get());
  EXPECT_EQ(first[0].use_count(), 1);
  EXPECT_EQ(second[0].use_count(), 1);
}

TEST_F(Loading, ProviderMakesIndependentDevicesThatOutliveIt) {
  ZadeSPDevice* a = nullptr;
  ZadeSPDevice* b = nullptr;
  {
    auto providers = get_providers_();
    auto* provider = dynamic_cast<ZadeSPDeviceProvider*>(providers[0].get());
    ASSERT_NE(provider, nullptr);
    a = provider->create();
    b = provider->create();
  }
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->DeviceType(), "vadid_ev7");
  EXPECT_EQ(b->DeviceType(), "vadid_ev7");
  EXPECT_NE(dynamic_cast<SPModbus*>(a), nullptr);

  // The plug-in's calls land in this process's framework.
  a->InitV(nullptr, 1201);
  EXPECT_EQ(a->DataId(), 1201u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(a->RefreshStatus(), 1);
  EXPECT_TRUE(a->LoadFromCache(std::string(21, '\0')));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rec::calls("modbus_read_registers").size(), 1u);
  EXPECT_EQ(rec::calls("SendSP").size(), 1u);
  EXPECT_EQ(rec::calls("SendSP")[0].device, a);
  delete a;
  delete b;
}

// The whole life of a plug-in in a host: load, devices, a hundred rounds, control calls, destroy, unload.
// Run under valgrind as its own test.
TEST_F(Loading, FullLifeCycle) {
  std::vector<ZadeSPDevice*> devices;
  {
    auto providers = get_providers_();
    auto* provider = dynamic_cast<ZadeSPDeviceProvider*>(providers[0].get());
    ASSERT_NE(provider, nullptr);
    for (unsigned id = 1; id <= 3; ++id) {
      devices.push_back(provider->create());
      devices.back()->InitV(nullptr, 1200 + id);
    }
  }
  testing::internal::CaptureStdout();
  Json::Value config;
  config["appSetting"]["b_mode"] = "1";
  for (ZadeSPDevice* device : devices) device->InitSetting(config);
  const std::string cached(21, '\x01');
  for (int round = 0; round < 100; ++round) {
    for (ZadeSPDevice* device : devices) {
      device->RefreshStatus();
      // The poll reply as the host's Modbus layer leaves it: tag 11 is still set by RefreshStatus.
      dynamic_cast<SPModbus*>(device)->process_payload(11, 10);
      char out[512];
      int out_len = 0;
      const unsigned short write[] = {7, 300};
      device->DeviceIoControl(801, nullptr, 0, out, sizeof out, out_len);
      device->DeviceIoControl(803, nullptr, 0, out, sizeof out, out_len);
      device->DeviceIoControl(206, write, sizeof write, out, sizeof out, out_len);
      device->DeviceIoControl(802, nullptr, 0, out, sizeof out, out_len);
      device->DeviceIoControl(310, "{\"signal_id\":\"0418101001\"}", 27, out, sizeof out, out_len);
      if (round % 10 == 0) device->LoadFromCache(cached);
    }
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rec::calls("SaveDeviceHistory").size(), 3u * 110u);
  for (ZadeSPDevice* device : devices) delete device;
}

}  // namespace
