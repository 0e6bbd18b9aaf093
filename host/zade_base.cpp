// Construction and destruction of the framework classes. Shared by the stand-in host and the recording test
// host; it is where the classes' virtual tables and type information are emitted.
#include "framework/framework.h"

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;
ZadeVDevice::ZadeVDevice() = default;
ZadeVDevice::~ZadeVDevice() = default;
ZadeSPDevice::ZadeSPDevice() = default;
ZadeSPDevice::~ZadeSPDevice() = default;
SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;
