// What the platform files of the stop flag share with stop.cpp.
#pragma once

#include <atomic>

namespace korvtools {

// The flag itself, for the handlers that raise it.
std::atomic<bool>& stopFlagForHandlers();

} // namespace korvtools
