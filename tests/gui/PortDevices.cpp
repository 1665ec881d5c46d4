// Setup API registration of "Ports" devices; see PortDevices.h.
#include "tests/gui/PortDevices.h"

#include <windows.h>
#include <setupapi.h>

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}, the "Ports" setup class.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Hardware id of the devices the rig makes: a REG_MULTI_SZ, hence the second null.
const char kHardwareId[] = "KQRIG\\SerialPort\0";

std::string failure(const char* call) {
    const DWORD code = GetLastError();
    return std::string(call) + " failed with error " + std::to_string(code);
}

// A device information set, destroyed on every path.
class DeviceSet {
public:
    explicit DeviceSet(HDEVINFO set) : handle(set) {}
    ~DeviceSet() {
        if (valid()) SetupDiDestroyDeviceInfoList(handle);  // nothing to do if it fails
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    bool valid() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
    HDEVINFO get() const { return handle; }

private:
    HDEVINFO handle;
};

std::string portNameOf(HDEVINFO set, SP_DEVINFO_DATA& data) {
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE || !key) return std::string();
    char name[256] = {};
    DWORD type = 0;
    DWORD size = sizeof name - 1;
    const LONG read = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS ? std::string(name) : std::string();
}

}  // namespace

namespace portdevices {

bool list(std::vector<PortDevice>& devices, std::string& error) {
    devices.clear();
    DeviceSet set(SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT));
    if (!set.valid()) {
        error = failure("SetupDiGetClassDevsA");
        return false;
    }
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
        PortDevice device;
        device.portName = portNameOf(set.get(), data);
        char description[256] = {};
        DWORD type = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set.get(), &data, SPDRP_DEVICEDESC, &type,
                                              reinterpret_cast<BYTE*>(description), sizeof description - 1, nullptr))
            device.description = description;
        devices.push_back(device);
    }
    return true;
}

bool add(const std::string& portName, const std::string& description, std::string& error) {
    DeviceSet set(SetupDiCreateDeviceInfoList(&kPortsClass, nullptr));
    if (!set.valid()) {
        error = failure("SetupDiCreateDeviceInfoList");
        return false;
    }
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;  // 32 in a 64-bit program
    if (!SetupDiCreateDeviceInfoA(set.get(), "Ports", &kPortsClass, description.c_str(), nullptr,
                                  DICD_GENERATE_ID, &data)) {
        error = failure("SetupDiCreateDeviceInfoA");
        return false;
    }
    if (!SetupDiSetDeviceRegistryPropertyA(set.get(), &data, SPDRP_DEVICEDESC,
                                           reinterpret_cast<const BYTE*>(description.c_str()),
                                           static_cast<DWORD>(description.size() + 1))) {
        error = failure("SetupDiSetDeviceRegistryPropertyA(SPDRP_DEVICEDESC)");
        return false;
    }
    if (!SetupDiSetDeviceRegistryPropertyA(set.get(), &data, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(kHardwareId), sizeof kHardwareId)) {
        error = failure("SetupDiSetDeviceRegistryPropertyA(SPDRP_HARDWAREID)");
        return false;
    }
    if (!SetupDiRegisterDeviceInfo(set.get(), &data, 0, nullptr, nullptr, nullptr)) {
        error = failure("SetupDiRegisterDeviceInfo");
        return false;
    }
    HKEY key = SetupDiCreateDevRegKeyA(set.get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE || !key) {
        error = failure("SetupDiCreateDevRegKeyA");
        return false;
    }
    const LONG written = RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName.c_str()),
                                        static_cast<DWORD>(portName.size() + 1));
    RegCloseKey(key);
    if (written != ERROR_SUCCESS) {
        error = "RegSetValueExA(PortName) failed with error " + std::to_string(written);
        return false;
    }
    return true;
}

bool removeAll(std::string& error) {
    DeviceSet set(SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, 0));
    if (!set.valid()) {
        error = failure("SetupDiGetClassDevsA");
        return false;
    }
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
        if (!SetupDiRemoveDevice(set.get(), &data)) {
            error = failure("SetupDiRemoveDevice");
            return false;
        }
    }
    return true;
}

}  // namespace portdevices
