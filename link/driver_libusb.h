// The libusb backend of the driver port.
#pragma once

#include <memory>

#include "link/usb_driver.h"

namespace k24 {

// Never fails: without a usable libusb the backend sees no devices.
std::unique_ptr<UsbDriver> MakeLibusbDriver();

}  // namespace k24
