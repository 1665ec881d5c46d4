// The port enumerator: the "PortName" rules, and listing real "Ports" devices
// registered in the Wine prefix through the Setup API.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

#include "tests/ui/UiTestSupport.h"
#include "ui/PortEnumerator.h"

namespace {

const char* const Mine = "KQ UI test ";
const GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

template <typename Function>
Function entry(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

int32_t parse(const std::string& name) {
    return PortEnumerator::ParsePortName(name.data(), name.size());
}

TEST(PortNameTest, AcceptsComInAnyCaseFollowedByDigitsOnly) {
    const std::pair<const char*, int32_t> cases[] = {
        {"COM1", 1},   {"com7", 7},     {"CoM10", 10},  {"cOm12", 12},  {"COM0", 0},
        {"COM007", 7}, {"COM", -1},     {"CO", -1},     {"", -1},       {"COM3A", -1},
        {"COMA", -1},  {"LPT1", -1},    {"COM 1", -1},  {"COM-1", -1},  {"COM+1", -1},
        {" COM1", -1}, {"COM1 ", -1},   {"XCOM1", -1},  {"CON1", -1},   {"COM1\t", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse(c.first), c.second) << "PortName \"" << c.first << "\"";
    }
}

TEST(PortNameTest, EveryNonDigitAfterComIsRefused) {
    for (int byte = 1; byte < 256; ++byte) {
        std::string name = "COM1";
        name.push_back(static_cast<char>(byte));
        int32_t expected = (byte >= '0' && byte <= '9') ? 10 + (byte - '0') : -1;
        EXPECT_EQ(parse(name), expected) << "byte " << byte;
    }
}

TEST(PortNameTest, NumbersBeyondSigned32BitsAreNoPort) {
    EXPECT_EQ(parse("COM2147483647"), 2147483647);
    EXPECT_EQ(parse("COM2147483648"), -1);
    EXPECT_EQ(parse("COM4294967297"), -1);  // would wrap to 1 in 32 bits
    EXPECT_EQ(parse("COM99999999999999999999999"), -1);
}

TEST(PortNameTest, ReadsOnlyTheLengthGiven) {
    // Registry text need not end in a NUL: what lies beyond the length is not the name.
    const char stored[] = {'C', 'O', 'M', '4', '2', 'x'};
    EXPECT_EQ(PortEnumerator::ParsePortName(stored, 5), 42);
    EXPECT_EQ(PortEnumerator::ParsePortName(stored, 6), -1);
}

TEST(PortEnumeratorTest, EnumerateBeforeOpenEmptiesBothListsAndSucceeds) {
    PortEnumerator enumerator;
    std::vector<std::string> descriptions = {"stale"};
    std::vector<int32_t> numbers = {3, 4};
    EXPECT_TRUE(enumerator.Enumerate(descriptions, numbers));
    EXPECT_TRUE(descriptions.empty());
    EXPECT_TRUE(numbers.empty());
    enumerator.Release();
    enumerator.Release();
}

TEST(PortEnumeratorTest, ListsRegisteredComPortsWithTheirDescriptions) {
    uitest::PortsDevices devices;
    ASSERT_TRUE(devices.available()) << devices.lastError();
    const struct {
        const char* description;
        const char* portName;
        DWORD type;
    } registered[] = {
        {"KQ UI test COM1", "COM1", REG_SZ},
        {"KQ UI test com7", "com7", REG_SZ},
        {"KQ UI test COM12", "COM12", REG_SZ},
        {"KQ UI test COM3A", "COM3A", REG_SZ},
        {"KQ UI test LPT1", "LPT1", REG_SZ},
        {"KQ UI test bare COM", "COM", REG_SZ},
        {"KQ UI test expand", "COM5", REG_EXPAND_SZ},
        {"KQ UI test multi", "COM6", REG_MULTI_SZ},
        {"KQ UI test no name", "", 0},
        {"", "COM8", REG_SZ},  // a port whose description cannot be read
    };
    for (const auto& device : registered) {
        ASSERT_TRUE(devices.add(device.description, device.portName, device.type))
            << device.portName << ": " << devices.lastError();
    }

    PortEnumerator enumerator;
    ASSERT_TRUE(enumerator.Open());
    std::vector<std::string> descriptions;
    std::vector<int32_t> numbers;
    ASSERT_TRUE(enumerator.Enumerate(descriptions, numbers));
    enumerator.Release();
    ASSERT_EQ(descriptions.size(), numbers.size());

    // Other test programs may have left devices of their own: look at ours only.
    std::multiset<std::pair<int32_t, std::string>> ours;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (descriptions[i].rfind(Mine, 0) == 0 || (numbers[i] == 8 && descriptions[i].empty())) {
            ours.insert({numbers[i], descriptions[i]});
        }
    }
    std::multiset<std::pair<int32_t, std::string>> expected = {
        {1, "KQ UI test COM1"}, {7, "KQ UI test com7"}, {12, "KQ UI test COM12"}, {8, ""}};
    EXPECT_EQ(ours, expected);

    ASSERT_TRUE(devices.removeAll()) << devices.lastError();
    ASSERT_TRUE(enumerator.Open());
    ASSERT_TRUE(enumerator.Enumerate(descriptions, numbers));
    for (size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_NE(descriptions[i].rfind(Mine, 0), 0u) << "left behind: COM" << numbers[i];
    }
}

TEST(PortEnumeratorTest, SetupApiTakesOnlyThisBuildsDeviceRecordSize) {
    // The record ends in a ULONG_PTR: 28 bytes in a 32-bit program, 32 in a 64-bit one.
    const size_t own = sizeof(void*) == 4 ? 28 : 32;
    const size_t other = sizeof(void*) == 4 ? 32 : 28;
    EXPECT_EQ(sizeof(SP_DEVINFO_DATA), own);

    uitest::PortsDevices devices;
    ASSERT_TRUE(devices.available()) << devices.lastError();
    ASSERT_TRUE(devices.add("KQ UI test record", "COM9")) << devices.lastError();
    // Loaded by name, as the program does: this test program also runs without SETUPAPI.DLL.
    const HMODULE setupApi = GetModuleHandleA("setupapi.dll");
    ASSERT_NE(setupApi, nullptr);
    const auto getDevices = entry<decltype(&SetupDiGetClassDevsA)>(setupApi, "SetupDiGetClassDevsA");
    const auto enumDevice = entry<decltype(&SetupDiEnumDeviceInfo)>(setupApi, "SetupDiEnumDeviceInfo");
    const auto destroyList = entry<decltype(&SetupDiDestroyDeviceInfoList)>(setupApi, "SetupDiDestroyDeviceInfoList");
    ASSERT_TRUE(getDevices && enumDevice && destroyList);
    const HDEVINFO set = getDevices(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    alignas(8) unsigned char record[32] = {};
    auto* data = reinterpret_cast<SP_DEVINFO_DATA*>(record);
    data->cbSize = static_cast<DWORD>(other);
    EXPECT_FALSE(enumDevice(set, 0, data)) << "a record of " << other << " bytes was taken";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data->cbSize = static_cast<DWORD>(own);
    EXPECT_TRUE(enumDevice(set, 0, data)) << "error " << GetLastError();
    destroyList(set);

    // The enumerator's own record is sized the same way: it finds the device.
    PortEnumerator enumerator;
    ASSERT_TRUE(enumerator.Open());
    std::vector<std::string> descriptions;
    std::vector<int32_t> numbers;
    ASSERT_TRUE(enumerator.Enumerate(descriptions, numbers));
    enumerator.Release();
    bool found = false;
    for (size_t i = 0; i < numbers.size(); ++i) {
        found = found || (numbers[i] == 9 && descriptions[i] == "KQ UI test record");
    }
    EXPECT_TRUE(found) << numbers.size() << " ports listed, COM9 not among them";
    ASSERT_TRUE(devices.removeAll()) << devices.lastError();
}

TEST(PortEnumeratorTest, OpenTwiceThenReleaseOnce) {
    PortEnumerator enumerator;
    ASSERT_TRUE(enumerator.Open());
    // A second Open replaces the device set; Release must still free everything once.
    ASSERT_TRUE(enumerator.Open());
    std::vector<std::string> descriptions;
    std::vector<int32_t> numbers;
    EXPECT_TRUE(enumerator.Enumerate(descriptions, numbers));
    enumerator.Release();
    EXPECT_TRUE(enumerator.Enumerate(descriptions, numbers));
    EXPECT_TRUE(numbers.empty());
}

// Runs in a child started with SETUPAPI.DLL disabled (see the parent test below).
bool childWithoutSetupApi() {
    const char* flag = std::getenv("KQ_UI_NO_SETUPAPI");
    return flag != nullptr && std::string(flag) == "1";
}

TEST(WithoutSetupApi, OpenFailsAndLeavesNothingToEnumerate) {
    if (!childWithoutSetupApi()) {
        GTEST_SKIP() << "runs in the child of PortEnumeratorTest.FallsBackWhenSetupApiIsMissing";
    }
    ASSERT_EQ(LoadLibraryA("SETUPAPI.DLL"), nullptr) << "the override did not take";
    PortEnumerator enumerator;
    EXPECT_FALSE(enumerator.Open());
    std::vector<std::string> descriptions = {"stale"};
    std::vector<int32_t> numbers = {1};
    EXPECT_TRUE(enumerator.Enumerate(descriptions, numbers));
    EXPECT_TRUE(descriptions.empty());
    EXPECT_TRUE(numbers.empty());
    enumerator.Release();
}

TEST(PortEnumeratorTest, FallsBackWhenSetupApiIsMissing) {
    std::string output;
    int exitCode = uitest::runSelfWithoutSetupApi("WithoutSetupApi.*", {"KQ_UI_NO_SETUPAPI=1"},
                                                  output, 120000);
    EXPECT_EQ(exitCode, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 2 tests."), std::string::npos) << output;
}

}  // namespace
