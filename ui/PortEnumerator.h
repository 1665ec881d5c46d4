// Lists the serial ports present on the machine with their device descriptions,
// through the Setup API loaded at run time from System32 (a missing Setup API makes Open fail,
// and the window then offers a fixed list instead).
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <string>
#include <vector>

class PortEnumerator {
public:
    PortEnumerator();
    ~PortEnumerator();
    PortEnumerator(const PortEnumerator&) = delete;
    PortEnumerator& operator=(const PortEnumerator&) = delete;

    // Loads "SETUPAPI.DLL" and builds the set of present "Ports" devices.
    bool Open();
    // Fills both lists in parallel; always true (empty lists when not open).
    bool Enumerate(std::vector<std::string>& descriptions, std::vector<int32_t>& portNumbers);
    // Undoes whatever Open obtained.
    void Release();

    // The number n of a "PortName" value COMn ("COM" in any case, then only
    // decimal digits); -1 when the name is not of that form or n does not fit.
    static int32_t ParsePortName(const char* name, size_t length);

private:
    // Entry points taken from the library; the names shadow the declarations of
    // setupapi.h on purpose, which only lend their types (nothing is linked).
    decltype(&::SetupDiOpenDevRegKey) SetupDiOpenDevRegKey;
    decltype(&::SetupDiClassGuidsFromNameA) SetupDiClassGuidsFromNameA;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
    decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
    decltype(&::SetupDiEnumDeviceInfo) SetupDiEnumDeviceInfo;
    decltype(&::SetupDiGetDeviceRegistryPropertyA) SetupDiGetDeviceRegistryPropertyA;
    HMODULE setupApi;
    GUID* classGuids;      // LocalAlloc'ed; the setup classes named "Ports"
    HDEVINFO deviceSet;    // present devices of the first "Ports" class
};
