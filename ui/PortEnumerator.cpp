// Serial port enumeration through a run-time loaded Setup API.
#include "ui/PortEnumerator.h"

#include <cstring>

#include "engine/SystemLibrary.h"

namespace {

constexpr DWORD NameBufferSize = 256;

}  // namespace

PortEnumerator::PortEnumerator()
    : SetupDiOpenDevRegKey(nullptr),
      SetupDiClassGuidsFromNameA(nullptr),
      SetupDiDestroyDeviceInfoList(nullptr),
      SetupDiGetClassDevsA(nullptr),
      SetupDiEnumDeviceInfo(nullptr),
      SetupDiGetDeviceRegistryPropertyA(nullptr),
      setupApi(nullptr),
      classGuids(nullptr),
      deviceSet(nullptr) {}

PortEnumerator::~PortEnumerator() {
    Release();
}

bool PortEnumerator::Open() {
    // From System32 only: never a SETUPAPI.DLL that lies beside the program.
    setupApi = SystemLibrary::load("SETUPAPI.DLL");
    if (setupApi == nullptr) {
        return false;
    }
    bool complete = SystemLibrary::entry(setupApi, "SetupDiOpenDevRegKey", SetupDiOpenDevRegKey);
    complete = SystemLibrary::entry(setupApi, "SetupDiClassGuidsFromNameA",
                                    SetupDiClassGuidsFromNameA) && complete;
    complete = SystemLibrary::entry(setupApi, "SetupDiDestroyDeviceInfoList",
                                    SetupDiDestroyDeviceInfoList) && complete;
    complete = SystemLibrary::entry(setupApi, "SetupDiGetClassDevsA", SetupDiGetClassDevsA) && complete;
    complete = SystemLibrary::entry(setupApi, "SetupDiEnumDeviceInfo", SetupDiEnumDeviceInfo) && complete;
    complete = SystemLibrary::entry(setupApi, "SetupDiGetDeviceRegistryPropertyA",
                                    SetupDiGetDeviceRegistryPropertyA) && complete;
    if (!complete) {
        FreeLibrary(setupApi);
        setupApi = nullptr;
        return false;
    }

    // The first call only sizes the list; it fails with ERROR_INSUFFICIENT_BUFFER
    // by design, so its result is not checked, only the count it reports.
    DWORD required = 0;
    SetupDiClassGuidsFromNameA("Ports", nullptr, 0, &required);
    if (required == 0) {
        return false;
    }
    classGuids = static_cast<GUID*>(LocalAlloc(LMEM_ZEROINIT, required * sizeof(GUID)));
    if (classGuids == nullptr) {
        return false;
    }
    if (!SetupDiClassGuidsFromNameA("Ports", classGuids, required, &required)) {
        LocalFree(classGuids);
        classGuids = nullptr;
        return false;
    }

    if (deviceSet != nullptr) {
        SetupDiDestroyDeviceInfoList(deviceSet);
    }
    deviceSet = SetupDiGetClassDevsA(&classGuids[0], nullptr, nullptr, DIGCF_PRESENT);
    if (deviceSet == INVALID_HANDLE_VALUE) {
        LocalFree(classGuids);
        classGuids = nullptr;
        deviceSet = nullptr;
        return false;
    }
    return true;
}

bool PortEnumerator::Enumerate(std::vector<std::string>& descriptions,
                               std::vector<int32_t>& portNumbers) {
    portNumbers.clear();
    descriptions.clear();
    if (setupApi == nullptr || deviceSet == nullptr) {
        return true;
    }

    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA data;
        std::memset(&data, 0, sizeof data);
        // 32 bytes in a 64-bit build, 28 in a 32-bit one.
        data.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(deviceSet, index, &data)) {
            break;
        }

        HKEY key = SetupDiOpenDevRegKey(deviceSet, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                        KEY_QUERY_VALUE);
        if (key == nullptr || key == INVALID_HANDLE_VALUE) {
            continue;
        }
        char name[NameBufferSize];
        DWORD type = REG_NONE;
        DWORD size = sizeof name;
        int32_t number = -1;
        if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            // The stored value need not end in a NUL: never read past what was returned.
            number = ParsePortName(name, strnlen(name, size));
        }
        RegCloseKey(key);  // ignored result: a read-only key, nothing to lose
        if (number < 0) {
            continue;
        }
        portNumbers.push_back(number);

        char description[NameBufferSize];
        DWORD descriptionType = REG_NONE;
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyA(deviceSet, &data, SPDRP_DEVICEDESC,
                                              &descriptionType,
                                              reinterpret_cast<BYTE*>(description),
                                              sizeof description, &required) &&
            descriptionType == REG_SZ) {
            DWORD length = required < sizeof description ? required : sizeof description;
            descriptions.emplace_back(description, strnlen(description, length));
        } else {
            descriptions.emplace_back();
        }
    }
    return true;
}

void PortEnumerator::Release() {
    if (classGuids != nullptr) {
        LocalFree(classGuids);
        classGuids = nullptr;
    }
    if (setupApi != nullptr) {
        if (deviceSet != nullptr) {
            SetupDiDestroyDeviceInfoList(deviceSet);
            deviceSet = nullptr;
        }
        FreeLibrary(setupApi);
        setupApi = nullptr;
    }
}

int32_t PortEnumerator::ParsePortName(const char* name, size_t length) {
    if (length <= 3) {
        return -1;
    }
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
        (name[2] != 'M' && name[2] != 'm')) {
        return -1;
    }
    int64_t number = 0;
    for (size_t i = 3; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return -1;
        }
        number = number * 10 + (name[i] - '0');
        // A port number must fit the list's signed 32-bit entries; a longer digit
        // run is no port this program could open.
        if (number > INT32_MAX) {
            return -1;
        }
    }
    return static_cast<int32_t>(number);
}
