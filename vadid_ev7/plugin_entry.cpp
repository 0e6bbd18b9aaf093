#include <memory>
#include <vector>

#include "framework/provider.h"
#include "vadid_ev7.h"

class VADID_EV7Provider : public ZadeSPDeviceProvider {
 public:
  VADID_EV7Provider() = default;
  ~VADID_EV7Provider() override {}
  ZadeSPDevice* create() const override { return new VADID_EV7(); }
};

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

// The one entry point: C linkage so the host finds it by its plain name.
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  std::shared_ptr<Provider> provider = std::make_shared<VADID_EV7Provider>();
  providers.push_back(std::move(provider));
  return providers;
}
