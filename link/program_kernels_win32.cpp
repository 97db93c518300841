// k24update's drivers talk to the system: the EZ-USB backend to its kernel
// calls, the WinUSB backend to SetupAPI and WinUSB. This is the one file a
// test build of the program replaces, to answer both from a model of the
// recorder instead.
#include "link/driver_ezusb.h"
#include "link/driver_winusb.h"

namespace k24 {

EzusbKernel& ProgramEzusbKernel() { return SystemEzusbKernel(); }

WinusbSystem& ProgramWinusbSystem() { return SystemWinusb(); }

}  // namespace k24
