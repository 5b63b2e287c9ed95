// USB devices of the bridge maker that no driver serves: a CP210x whose
// product id the kernel's cp210x driver does not know gets no serial port,
// so no enumeration of ports finds it. sysfs still shows it.
#pragma once

#include <string>
#include <vector>

namespace Bridge {

struct SUnservedBridge
{
    std::string Usb;      // the USB device's name in sysfs, "1-2"
    std::string Vid, Pid; // four lower-case hex digits
};

// Devices of vendor 0x10C4 with a vendor-specific interface (class 0xFF)
// that no driver has bound, in name order. sysRoot: where sysfs is mounted.
std::vector<SUnservedBridge> FindUnservedBridges(const std::string& sysRoot = "/sys");

// What the user reads: the bridge, why it has no port, the udev rule line
// that serves it from now on and the commands that serve it at once.
std::string UnservedText(const SUnservedBridge& b);

} // namespace Bridge
