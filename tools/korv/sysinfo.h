// What korv asks the operating system about itself and its console. One
// implementation per platform (sysinfo_*.cpp).
#pragma once

namespace korv {

// Standard input and output carry bytes unchanged (Windows would translate
// line ends).
void prepareStandardStreams();

// True when stderr is a terminal that can redraw the progress line.
bool stderrIsTerminal();

// The number of CPUs this process may run on.
int cpuCount();

} // namespace korv
