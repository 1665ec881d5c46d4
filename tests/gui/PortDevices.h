// Present devices of the "Ports" setup class in the Wine prefix, made and removed through
// the Setup API, so that the installer's own enumeration finds (or misses) a COM port.
// Wine keeps them in the prefix's registry until they are removed.
#pragma once

#include <string>
#include <vector>

namespace portdevices {

struct PortDevice {
    std::string portName;     // the device key's "PortName", e.g. COM1
    std::string description;  // SPDRP_DEVICEDESC
};

// The present devices of the class, in the Setup API's order.
bool list(std::vector<PortDevice>& devices, std::string& error);
// Registers a present device whose "PortName" (REG_SZ) is portName.
bool add(const std::string& portName, const std::string& description, std::string& error);
// Removes every device of the class, present or not.
bool removeAll(std::string& error);

}  // namespace portdevices
