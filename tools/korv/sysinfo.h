// What korv asks the operating system about itself and its console. One
// implementation per platform (sysinfo_*.cpp).
#pragma once

#include <cstddef>

namespace korv {

// Standard input and output carry bytes unchanged (Windows would translate
// line ends).
void prepareStandardStreams();

// True when stderr is a terminal that can redraw the progress line.
bool stderrIsTerminal();

// The number of CPUs this process may run on.
int cpuCount();

// How many files this process may hold open at once, after raising its own
// limit as far as it may.
std::size_t openFileLimit();

} // namespace korv
