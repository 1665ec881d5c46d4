// kqports: lists, adds and removes "Ports" devices in the Wine prefix, so that the
// installer's port list shows (or lacks) a COM port. For scripts and manual runs.
//
//   kqports list
//   kqports add COM1 "Communications Port"
//   kqports clear
#include "tests/gui/PortDevices.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    std::string error;
    if (command == "list" && argc == 2) {
        std::vector<portdevices::PortDevice> devices;
        if (!portdevices::list(devices, error)) {
            std::fprintf(stderr, "kqports: %s\n", error.c_str());
            return 1;
        }
        for (const auto& device : devices)
            std::printf("%s, (%s)\n", device.portName.c_str(), device.description.c_str());
        return 0;
    }
    if (command == "add" && argc == 4) {
        if (!portdevices::add(argv[2], argv[3], error)) {
            std::fprintf(stderr, "kqports: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "clear" && argc == 2) {
        if (!portdevices::removeAll(error)) {
            std::fprintf(stderr, "kqports: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    std::fprintf(stderr, "usage: kqports list | add COMn \"description\" | clear\n");
    return 2;
}
