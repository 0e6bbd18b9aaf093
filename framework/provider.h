#pragma once

#include "sp_modbus.h"

// Providers are defined inline: a plug-in compiles them and carries their tables, so the host needs no
// code of its own to receive them.
class ZADE_API Provider {
 public:
  Provider() {}
  virtual ~Provider() {}
};

class ZADE_API ZadeSPDeviceProvider : public Provider {
 public:
  ZadeSPDeviceProvider() {}
  ~ZadeSPDeviceProvider() override {}
  // The caller owns the device and destroys it through its virtual destructor.
  virtual ZadeSPDevice* create() const = 0;
};
