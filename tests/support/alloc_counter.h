#pragma once

#include <cstddef>

// Heap allocations made through operator new by this thread, counted by the test executable's replacement.
std::size_t allocations_on_this_thread();
