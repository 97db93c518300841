// Two backends of the driver port as one: the devices of both, the first's
// names first. Windows uses it to reach a recorder on the EZ-USB driver and
// one on WinUSB alike.
//
// Each call on a device goes to the backend that listed it, with that
// backend's own name, records and buffers, so a device on either backend
// sees exactly the calls it would see alone. A name both list belongs to the
// first. The pair tells places where either backend does (a device of the
// other has none), and tells of a device no driver serves where either saw
// one. It has no bus events: the link polls it.
#pragma once

#include <memory>

#include "link/usb_driver.h"

namespace k24 {

std::unique_ptr<UsbDriver> MakeCombinedDriver(std::unique_ptr<UsbDriver> first, std::unique_ptr<UsbDriver> second);

}  // namespace k24
