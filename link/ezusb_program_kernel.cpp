// k24update's driver talks to the system's kernel. This is the one definition
// a test build of the program replaces, to answer the driver from a model of
// the recorder instead.
#include "link/driver_ezusb.h"

namespace k24 {

EzusbKernel& ProgramEzusbKernel() { return SystemEzusbKernel(); }

}  // namespace k24
