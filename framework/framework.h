#pragma once

#include "provider.h"
#include "sp_modbus.h"
#include "ttime.h"
#include "zade_spdevice.h"
#include "zade_vdevice.h"
