#pragma once

#include <boost/date_time/posix_time/ptime.hpp>

#include "framework/ttime.h"

// The packed stamp of a local time; every framework implementation's get_ttime answers with it.
ttime ttime_of(const boost::posix_time::ptime& t);
