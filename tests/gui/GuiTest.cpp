// The end-to-end fixture; see GuiTest.h.
#include "tests/gui/GuiTest.h"

#include "tests/gui/PortDevices.h"
#include "tests/support/TestEnvironment.h"

#include <shlobj.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

const char* const kRelayKey = "Software\\Wine\\Debug";

// Wine keys per-program settings by the file name alone.
std::string installerAppKey() {
    const std::string path = InstallerProcess::defaultPath();
    return "Software\\Wine\\AppDefaults\\" + path.substr(path.find_last_of("\\/") + 1);
}

const char* boxName(int id) {
    switch (id) {
        case installer::kStatusBox: return "status";
        case installer::kConnectionBox: return "connection";
        case installer::kUpdateBox: return "update";
        default: return "?";
    }
}

}  // namespace

std::string describeTexts(const std::vector<std::pair<int, std::string>>& texts) {
    std::ostringstream out;
    for (const auto& t : texts) out << "  " << boxName(t.first) << ": \"" << t.second << "\"\n";
    return out.str();
}

void GuiTest::SetUp() {
    // A run that was killed may have left the override behind; none may linger into this test.
    const LONG removed = RegDeleteTreeA(HKEY_CURRENT_USER, installerAppKey().c_str());
    ASSERT_TRUE(removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) << "error " << removed;
    // Nor a plain file in place of the logs' folder (the unwritable log's test).
    const std::wstring folder = widen(logsFolder());
    const DWORD logs = GetFileAttributesW(folder.c_str());
    if (logs != INVALID_FILE_ATTRIBUTES && (logs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ASSERT_TRUE(DeleteFileW(folder.c_str())) << "error " << GetLastError();
    }
}

void GuiTest::TearDown() {
    if (installer.running()) {
        // A test that failed half-way: leave no installer behind, asked or not.
        if (window.exists()) {
            try {
                ModalBox complete(ModalBox::find(installer::kCompleteCaption, installer.id()));
                if (complete.exists()) complete.press(IDOK);
                window.postClose();
                ModalBox ask(ModalBox::waitFor(installer::kExitCaption, 2000, installer.id()));
                if (ask.exists()) ask.press(IDOK);
            } catch (const DriverError&) {
                // The kill below ends it anyway.
            }
        }
        DWORD code = 0;
        if (!installer.waitExit(5000, code)) installer.kill();
    }
    tap.detach();
    if (relayIncludeSet) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kRelayKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            EXPECT_EQ(RegDeleteValueA(key, "RelayInclude"), ERROR_SUCCESS) << "the relay list stays in the prefix";
            RegCloseKey(key);
        }
        relayIncludeSet = false;
    }
    unicodeProfile.reset();
    if (dllOverridesSet) {
        const LONG removed = RegDeleteTreeA(HKEY_CURRENT_USER, installerAppKey().c_str());
        EXPECT_EQ(removed, ERROR_SUCCESS) << "the installer's DLL override stays in the prefix";
        dllOverridesSet = false;
    }
}

void GuiTest::registerComOne() { registerPorts({{"COM1", kPortDescription}}); }

void GuiTest::registerPorts(const std::vector<std::pair<std::string, std::string>>& ports) {
    std::string error;
    ASSERT_TRUE(portdevices::removeAll(error)) << error;
    for (const auto& port : ports) ASSERT_TRUE(portdevices::add(port.first, port.second, error)) << error;
}

void GuiTest::removePortDevices() {
    std::string error;
    ASSERT_TRUE(portdevices::removeAll(error)) << error;
    std::vector<portdevices::PortDevice> left;
    ASSERT_TRUE(portdevices::list(left, error)) << error;
    ASSERT_TRUE(left.empty()) << left.size() << " Ports devices are still present";
}

void GuiTest::startLoader(const std::string& options, int com) {
    ASSERT_TRUE(rig.connected()) << rig.lastError();
    // The images as committed, and their digests as srecord computed them at build time:
    // the loader names a target's image only when both agree.
    const std::string source = testenv::variable("KQ_SOURCE_DIR");
    const std::string build = testenv::variable("KQ_BUILD_DIR");
    std::string args = std::string("loader --loader-version ") + loaderid::kVersion + " --spi-version " +
                       loaderid::kSpiEprom + " --pic-version 2=" + loaderid::kPic2 + " --pic-version 3=" +
                       loaderid::kPic3 + " --pic-version 4=" + loaderid::kPic4 + " --expect-dir \"" + source +
                       "/resources/firmware\" --expect-json \"" + build + "/native/expected_images.json\"";
    if (!options.empty()) args += " " + options;
    loaderId = rig.start(com, args);
    ASSERT_GE(loaderId, 0) << rig.lastError();
}

nlohmann::json GuiTest::stopLoader() {
    nlohmann::json summary;
    const std::string text = rig.stop(loaderId);
    loaderId = -1;
    summary = nlohmann::json::parse(text, nullptr, false);
    EXPECT_FALSE(summary.is_discarded()) << "bad summary:\n" << text << "\n" << rig.lastError();
    return summary;
}

void GuiTest::unlinkComOne() {
    ASSERT_TRUE(rig.connected()) << rig.lastError();
    ASSERT_TRUE(rig.unlink(1)) << rig.lastError();
}

namespace {

// Sets a string value of the installer's own settings (Wine keys them by the program's file name).
void setInstallerSetting(const std::string& path, const char* name, const char* value) {
    HKEY key = nullptr;
    const LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                         nullptr);
    ASSERT_EQ(created, ERROR_SUCCESS);
    const LONG written = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                        static_cast<DWORD>(std::strlen(value) + 1));
    RegCloseKey(key);
    ASSERT_EQ(written, ERROR_SUCCESS);
}

// Sets the installer's own load order for DLL `name`.
void setInstallerDllOverride(const std::string& appKey, const char* name, const char* order) {
    setInstallerSetting(appKey + "\\DllOverrides", name, order);
}

std::string sideloadFolder() { return testenv::windowsPath(KQ_SIDELOAD_DIR) + "\\"; }

}  // namespace

void GuiTest::disableSetupApiForInstaller() {
    dllOverridesSet = true;
    // An empty load order: neither Wine's builtin nor a native SETUPAPI.DLL may load.
    setInstallerDllOverride(installerAppKey(), "setupapi", "");
}

void GuiTest::reportWindowsVersionToInstaller(const char* version) {
    dllOverridesSet = true;  // TearDown removes the installer's whole settings key
    setInstallerSetting(installerAppKey(), "Version", version);
}

std::string GuiTest::installerWithPlantedDlls(const std::vector<std::string>& names) {
    const std::string original = InstallerProcess::defaultPath();
    const std::string copy = sideloadFolder() + original.substr(original.find_last_of("\\/") + 1);
    if (!CopyFileA(original.c_str(), copy.c_str(), FALSE)) {
        ADD_FAILURE() << "could not copy the installer to " << copy << ": error " << GetLastError();
        return std::string();
    }
    plantedDlls = names;
    dllOverridesSet = true;
    for (const std::string& name : names) {
        const std::string dll = sideloadFolder() + name + ".dll";
        if (GetFileAttributesA(dll.c_str()) == INVALID_FILE_ATTRIBUTES) ADD_FAILURE() << dll << " is missing";
        DeleteFileA((dll + ".loaded").c_str());
        // The copy has the installer's file name, so its settings key is the one TearDown removes.
        setInstallerDllOverride(installerAppKey(), name.c_str(), "native,builtin");
    }
    return copy;
}

std::vector<std::string> GuiTest::plantedDllsLoaded() const {
    std::vector<std::string> loaded;
    for (const std::string& name : plantedDlls)
        if (GetFileAttributesA((sideloadFolder() + name + ".dll.loaded").c_str()) != INVALID_FILE_ATTRIBUTES)
            loaded.push_back(name);
    return loaded;
}

namespace {

// Where resource `id` of the named type `type` sits in a PE file: its entry in the type's id
// directory, and its first language's data entry with the file offset of the data.
// Wine 8's UpdateResource can neither delete a resource nor empty it, so copies of the
// installer are patched directly.
struct ResourceSpot {
    IMAGE_RESOURCE_DIRECTORY_ENTRY* idEntry = nullptr;
    IMAGE_RESOURCE_DATA_ENTRY* data = nullptr;
    size_t dataOffset = 0;
};

bool findResource(std::vector<char>& file, const std::string& type, WORD id, ResourceSpot& spot) {
    auto at = [&file](size_t offset, size_t size) { return offset + size <= file.size() ? &file[offset] : nullptr; };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (!dos) return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64)));
    if (!nt || nt->Signature != IMAGE_NT_SIGNATURE) return false;
    // PE32 (the 32-bit program) and PE32+ differ in the optional header, not in the file
    // header or in where the section table starts (after SizeOfOptionalHeader).
    const DWORD rva =
        nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC
            ? reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt)
                  ->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress
            : nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    const auto* sections = IMAGE_FIRST_SECTION(nt);
    auto fileOffset = [&](DWORD address) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (address >= sections[i].VirtualAddress &&
                address < sections[i].VirtualAddress + sections[i].Misc.VirtualSize)
                return address - sections[i].VirtualAddress + sections[i].PointerToRawData;
        return 0;
    };
    const size_t base = fileOffset(rva);
    auto entries = [&](size_t directory, size_t& count) {
        const auto* d = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(at(directory, sizeof(IMAGE_RESOURCE_DIRECTORY)));
        count = d ? d->NumberOfNamedEntries + d->NumberOfIdEntries : 0;
        return reinterpret_cast<IMAGE_RESOURCE_DIRECTORY_ENTRY*>(
            at(directory + sizeof(IMAGE_RESOURCE_DIRECTORY), count * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY)));
    };
    size_t types = 0;
    IMAGE_RESOURCE_DIRECTORY_ENTRY* typeEntries = base ? entries(base, types) : nullptr;
    for (size_t t = 0; typeEntries && t < types; ++t) {
        if (!typeEntries[t].NameIsString || !typeEntries[t].DataIsDirectory) continue;
        const auto* name = reinterpret_cast<const IMAGE_RESOURCE_DIR_STRING_U*>(at(base + typeEntries[t].NameOffset, 2));
        if (!name || !at(base + typeEntries[t].NameOffset, 2 + 2 * name->Length)) return false;
        std::string text;
        for (WORD c = 0; c < name->Length; ++c) text += static_cast<char>(name->NameString[c]);
        if (text != type) continue;
        size_t ids = 0;
        IMAGE_RESOURCE_DIRECTORY_ENTRY* idEntries = entries(base + typeEntries[t].OffsetToDirectory, ids);
        for (size_t k = 0; idEntries && k < ids; ++k) {
            if (idEntries[k].NameIsString || idEntries[k].Id != id || !idEntries[k].DataIsDirectory) continue;
            size_t languages = 0;
            IMAGE_RESOURCE_DIRECTORY_ENTRY* language = entries(base + idEntries[k].OffsetToDirectory, languages);
            if (!language || languages == 0 || language->DataIsDirectory) return false;
            spot.idEntry = &idEntries[k];
            spot.data = reinterpret_cast<IMAGE_RESOURCE_DATA_ENTRY*>(
                at(base + language->OffsetToData, sizeof(IMAGE_RESOURCE_DATA_ENTRY)));
            spot.dataOffset = spot.data ? fileOffset(spot.data->OffsetToData) : 0;
            return spot.dataOffset != 0 && at(spot.dataOffset, spot.data->Size);
        }
    }
    return false;
}

// Damages the resource at `spot` as asked. A missing image is renumbered to id - 1 (the
// type's ids stay in ascending order while id - 1 is free), so that FindResource no
// longer finds it; a changed byte is a digit of a data record in the middle of the image;
// a short image ends half-way; a missing record leaves valid Intel HEX, one line shorter.
bool damage(std::vector<char>& file, ResourceSpot& spot, ImageDamage how) {
    switch (how) {
        case ImageDamage::Missing:
            spot.idEntry->Id = static_cast<WORD>(spot.idEntry->Id - 1);
            return true;
        case ImageDamage::OneByteChanged: {
            char* text = &file[spot.dataOffset];
            char* middle = static_cast<char*>(std::memchr(text + spot.data->Size / 2, '\n', spot.data->Size / 2));
            // The LF, then ":", byte count, address and type: the first data digit follows.
            if (!middle || middle + 11 >= text + spot.data->Size) return false;
            middle[10] = middle[10] == '0' ? '1' : '0';
            return true;
        }
        case ImageDamage::CutShort:
            spot.data->Size /= 2;
            return true;
        case ImageDamage::RecordMissing: {
            // The record after the middle's LF goes, its CR LF with it: the rest moves up.
            char* text = &file[spot.dataOffset];
            char* const end = text + spot.data->Size;
            char* middle = static_cast<char*>(std::memchr(text + spot.data->Size / 2, '\n', spot.data->Size / 2));
            if (!middle) return false;
            char* next = static_cast<char*>(std::memchr(middle + 1, '\n', static_cast<size_t>(end - middle - 1)));
            if (!next) return false;
            std::memmove(middle + 1, next + 1, static_cast<size_t>(end - next - 1));
            spot.data->Size -= static_cast<DWORD>(next - middle);
            return true;
        }
    }
    return false;
}

const char* damageName(ImageDamage how) {
    switch (how) {
        case ImageDamage::Missing: return "without";
        case ImageDamage::OneByteChanged: return "changed";
        case ImageDamage::CutShort: return "short";
        case ImageDamage::RecordMissing: return "lacking";
    }
    return "?";
}

// The image as a copy of the installer holds it; empty when it cannot be found.
std::string imageIn(const std::string& exe, WORD id, const char* type) {
    std::string text;
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(id), type) : nullptr;
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (data) text.assign(data, SizeofResource(module, found));
    if (module) FreeLibrary(module);
    return text;
}

}  // namespace

std::string GuiTest::installerWithoutImage(WORD id, const char* type) {
    return installerWithDamagedImage(id, type, ImageDamage::Missing);
}

std::string GuiTest::installerWithDamagedImage(WORD id, const char* type, ImageDamage how) {
    const std::string original = InstallerProcess::defaultPath();
    const std::string copy = original.substr(0, original.find_last_of("\\/") + 1) + "KQ7750Installer-" +
                             damageName(how) + "-" + std::to_string(id) + ".exe";
    std::ifstream in(original, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ResourceSpot spot;
    if (file.empty() || !findResource(file, type, id, spot) || !damage(file, spot, how)) {
        ADD_FAILURE() << "image " << id << " not found in " << original;
        return std::string();
    }
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
    out.close();
    if (!out) {
        ADD_FAILURE() << "could not write " << copy;
        return std::string();
    }
    // The copy's image is no longer the one the installer was built with.
    if (imageIn(copy, id, type) == imageIn(original, id, type)) {
        ADD_FAILURE() << "the copy still holds image " << id << " intact";
        return std::string();
    }
    return copy;
}

void GuiTest::launch(const std::string& exePath) {
    ASSERT_EQ(InstallerWindow::find(), nullptr) << "an installer window is already open";
    logsBeforeLaunch = logNames();
    ASSERT_TRUE(installer.start(exePath)) << installer.lastError();
    window = InstallerWindow(InstallerWindow::waitFor(kWindowTimeoutMs));
    ASSERT_TRUE(window.exists()) << "the installer's window did not appear";
    ASSERT_EQ(window.processId(), installer.id());
    ASSERT_TRUE(tap.attach(window.handle())) << tap.lastError();
}

void GuiTest::launchTraced(const std::string& relayInclude, const std::string& traceFile) {
    ASSERT_EQ(InstallerWindow::find(), nullptr) << "an installer window is already open";
    logsBeforeLaunch = logNames();
    // Read by each Wine process as it starts; only one started with +relay traces anything.
    relayIncludeSet = true;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kRelayKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const LONG written = RegSetValueExA(key, "RelayInclude", 0, REG_SZ, reinterpret_cast<const BYTE*>(relayInclude.c_str()),
                                        static_cast<DWORD>(relayInclude.size() + 1));
    RegCloseKey(key);
    ASSERT_EQ(written, ERROR_SUCCESS);
    // Wine hands a child only the parent's standard input and output; its debug output goes
    // to the standard error Wine itself was started with. So a shell starts the installer
    // (CreateProcess runs a Unix program as such) with the trace on and that stream in the
    // file. The shell gives no Windows process handle: the installer is taken on by its window.
    std::string command = "/bin/sh -c \"WINEDEBUG=+relay exec wine '" + InstallerProcess::defaultPath() + "' 2>'" +
                          traceFile + "'\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        << "error " << GetLastError();
    if (info.hThread) CloseHandle(info.hThread);
    if (info.hProcess) CloseHandle(info.hProcess);
    window = InstallerWindow(InstallerWindow::waitFor(kWindowTimeoutMs));
    ASSERT_TRUE(window.exists()) << "the installer's window did not appear";
    ASSERT_TRUE(installer.adopt(window.processId())) << installer.lastError();
    ASSERT_TRUE(tap.attach(window.handle())) << tap.lastError();
}

DWORD GuiTest::closeWithoutQuestion(Closing how) {
    if (how == Closing::ThroughFileExit)
        chooseMenuItem(installer::kFileMenu, installer::kExitItem);
    else
        window.postClose();
    DWORD code = 0xDEAD;
    const ULONGLONG end = GetTickCount64() + 15000;
    while (!installer.waitExit(20, code)) {
        if (ModalBox::find(installer::kExitCaption, installer.id())) {
            ADD_FAILURE() << "closing asked for confirmation";
            return code;
        }
        if (GetTickCount64() >= end) {
            ADD_FAILURE() << "the installer did not end after WM_CLOSE";
            return code;
        }
    }
    return code;
}

std::string GuiTest::expectedSummary() {
    return std::string("KQ7750 Connected: \"") + loaderid::kSignOn + "\", SPI EPROM \"" + loaderid::kSpiEprom +
           "\", PIC2 \"" + loaderid::kPic2 + "\", PIC3 \"" + loaderid::kPic3 + "\", PIC4 \"" + loaderid::kPic4 + "\"";
}

void GuiTest::connect(PhaseWatcher& watcher) {
    window.click(installer::kConnectButton);
    const bool ended = watcher.watch(
        [](const Observation& o) {
            return o.phase == Phase::Connected || o.phase == Phase::PortNotFound || o.phase == Phase::GivenUp;
        },
        60000);
    ASSERT_TRUE(ended) << "no end to the connection attempt:\n" << watcher.describe();
    ASSERT_EQ(watcher.last().phase, Phase::Connected) << watcher.describe();
}

int GuiTest::menuCommand(const char* popup, const char* item) {
    const UINT command = tap.menuCommand(window.handle(), popup, item);
    EXPECT_NE(command, 0u) << tap.lastError();
    return static_cast<int>(command);
}

void GuiTest::chooseMenuItem(const char* popup, const char* item) {
    const int command = menuCommand(popup, item);
    if (command != 0) window.postMenuCommand(command);
}

bool GuiTest::answerCompletionBox(CompletionBox& box) {
    if (box.seen) return true;
    ModalBox found(ModalBox::find(installer::kCompleteCaption, installer.id()));
    if (!found.exists()) return false;
    box.seen = true;
    box.text = found.messageText();
    box.hasOk = found.hasButton(IDOK);
    box.hasCancel = found.hasButton(IDCANCEL);
    found.press(IDOK);
    return true;
}

void GuiTest::expectAboutBoxKeepsTheUpdateGoing() {
    chooseMenuItem(installer::kHelpMenu, installer::kAboutItem);
    ModalBox about(ModalBox::waitFor("About", 10000, installer.id()));
    ASSERT_TRUE(about.exists()) << "the About box did not open";
    const int before = window.progressPosition();
    const ULONGLONG end = GetTickCount64() + 20000;
    while (window.progressPosition() == before && GetTickCount64() < end) Sleep(50);
    EXPECT_GT(window.progressPosition(), before) << "the bar stood still while the About box was open";
    EXPECT_EQ(about.controlText(installer::kAboutRelease), "v1.01");
    about.press(IDOK);
}

std::vector<std::pair<int, std::string>> GuiTest::tapped(size_t from) const {
    EXPECT_FALSE(tap.overflowed()) << "the tap's memory is full: texts are missing";
    std::vector<std::pair<int, std::string>> result;
    for (const TappedText& t : tap.texts(from)) result.emplace_back(t.controlId, t.text);
    return result;
}

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], size);
    return text;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
    return utf8;
}

namespace {

// A whole file by its UTF-8 path; false when it cannot be read.
bool readWhole(const std::string& path, std::string& bytes) {
    UniqueFileHandle file(CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                      FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    bytes.clear();
    if (!file.valid()) return false;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return true;
}

// SHA-256 of a whole file, lower-case hex; empty when it cannot be read.
std::string sha256Of(const std::string& path) {
    std::string bytes;
    readWhole(path, bytes);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD size = sizeof digest;
    std::string hex;
    if (!bytes.empty() && CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
            if (CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
                CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
                for (DWORD i = 0; i < size; ++i) {
                    char two[3];
                    std::snprintf(two, sizeof two, "%02x", digest[i]);
                    hex += two;
                }
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    return hex;
}

// The visible file-browser windows of processes other than `notOf`, with their titles. Wine's
// shell opens a folder with explorer.exe, whose window (class ExplorerWClass) is titled with the
// folder's name; Windows' own is a CabinetWClass.
struct BrowserSearch {
    DWORD notOf;
    std::vector<std::pair<HWND, std::string>> found;
};

BOOL CALLBACK noteBrowser(HWND window, LPARAM search) {
    BrowserSearch& s = *reinterpret_cast<BrowserSearch*>(search);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char kind[64] = {};
    char title[MAX_PATH] = {};
    GetClassNameA(window, kind, sizeof kind);
    GetWindowTextA(window, title, sizeof title);
    const std::string k = kind;
    if (owner != s.notOf && IsWindowVisible(window) && (k == "ExplorerWClass" || k == "CabinetWClass"))
        s.found.emplace_back(window, title);
    return TRUE;
}

std::vector<std::pair<HWND, std::string>> browsers(DWORD notOf) {
    BrowserSearch search{notOf, {}};
    EnumWindows(noteBrowser, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Closes, when it goes, every browser window that was not there when it came: one left on
// another folder could carry the installer's own title.
class BrowserCleanup {
public:
    explicit BrowserCleanup(DWORD notOf) : notOf(notOf), before(browsers(notOf)) {}
    ~BrowserCleanup() {
        for (const auto& b : browsers(notOf)) {
            if (std::find(before.begin(), before.end(), b) != before.end()) continue;
            PostMessageA(b.first, WM_CLOSE, 0, 0);
            const ULONGLONG end = GetTickCount64() + 10000;
            while (IsWindow(b.first) && GetTickCount64() < end) Sleep(50);
            EXPECT_FALSE(IsWindow(b.first)) << "the file browser \"" << b.second << "\" did not close";
        }
    }
    BrowserCleanup(const BrowserCleanup&) = delete;
    BrowserCleanup& operator=(const BrowserCleanup&) = delete;

private:
    DWORD notOf;
    std::vector<std::pair<HWND, std::string>> before;
};

// The files of a folder (UTF-8 names), directories left out.
std::vector<std::string> filesIn(const std::string& folder, const char* pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(widen(folder + "\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(narrow(found.cFileName));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string GuiTest::logsFolder() {
    wchar_t base[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base), S_OK);
    return narrow(base) + "\\KQ7750 Firmware Installer\\Logs";
}

std::vector<std::string> GuiTest::logNames(const char* pattern) { return filesIn(logsFolder(), pattern); }

void GuiTest::clearLogsFolder() {
    const std::wstring folder = widen(logsFolder());
    CreateDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        << logsFolder() << ": error " << GetLastError();
    for (const std::string& name : filesIn(logsFolder(), "*"))
        EXPECT_TRUE(DeleteFileW((folder + L"\\" + widen(name)).c_str())) << name;
}

std::string GuiTest::ownLogName() const {
    std::vector<std::string> added;
    for (const std::string& name : logNames())
        if (!std::binary_search(logsBeforeLaunch.begin(), logsBeforeLaunch.end(), name)) added.push_back(name);
    if (added.size() != 1) {
        ADD_FAILURE() << added.size() << " new logs in " << logsFolder() << " since the installer started";
        return std::string();
    }
    return added.front();
}

std::vector<std::string> GuiTest::ownLog() const {
    std::vector<std::string> lines;
    const std::string name = ownLogName();
    std::string text;
    if (name.empty() || !readWhole(logsFolder() + "\\" + name, text)) return lines;
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = text.find("\r\n", begin);
        if (end == std::string::npos) {
            ADD_FAILURE() << "the log ends in a line without CR LF: " << text.substr(begin);
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        EXPECT_EQ(lines.back().find_first_of("\r\n"), std::string::npos) << "a bare CR or LF in: " << lines.back();
        begin = end + 2;
    }
    return lines;
}

void GuiTest::expectLogHeader(const std::vector<std::string>& lines, const std::string& exe) {
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "KQ7750 Firmware Installer");
    EXPECT_EQ(lines[1], "Release: v1.01");
    EXPECT_EQ(lines[2], "File version: 1.1.0.0");
    const std::wstring path = widen(exe);
    char ansi[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, ansi, sizeof ansi - 1, nullptr, nullptr);
    EXPECT_EQ(lines[3], "Program: " + std::string(ansi));
    const std::string sha = sha256Of(exe);
    ASSERT_EQ(sha.size(), 64u) << exe << " could not be read";
    EXPECT_EQ(lines[4], "SHA-256: " + sha);
    // The version Windows (here Wine) is, which RtlGetVersion answers whatever the caller's
    // manifest says. GetVersionEx answers this test program, which declares no Windows after 8,
    // 6.2 on Windows 8.1 and later: on Wine 10, which presents Windows 10 (Wine 8 presents 7).
    const auto rtlGetVersion = reinterpret_cast<LONG(WINAPI*)(OSVERSIONINFOW*)>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
    ASSERT_NE(rtlGetVersion, nullptr);
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_EQ(rtlGetVersion(&version), 0);
    EXPECT_EQ(lines[5].rfind("Windows: " + std::to_string(version.dwMajorVersion) + "." +
                                 std::to_string(version.dwMinorVersion) + " build " +
                                 std::to_string(version.dwBuildNumber),
                             0),
              0u)
        << lines[5];
    SYSTEMTIME now;
    GetLocalTime(&now);
    char today[16];
    std::snprintf(today, sizeof today, "%04u-%02u-%02u ", now.wYear, now.wMonth, now.wDay);
    EXPECT_EQ(lines[6].rfind(std::string("Started: ") + today, 0), 0u) << lines[6];
}

// "Blackfin pace: <n> records in <s> s, <ms> ms a record; the line's own pace at 115200 baud:
// 6.3 ms a record" (the shipped image's 71.8 characters a record, one more for the echo's
// last, at 10 bits each), with n from `fewest` to `most`; `measured` gets the <ms>.
void expectPaceLine(const std::string& line, int fewest, int most, double* measured) {
    const std::string head = "Blackfin pace: ";
    const std::string tail = " ms a record; the line's own pace at 115200 baud: 6.3 ms a record";
    ASSERT_EQ(line.rfind(head, 0), 0u) << line;
    ASSERT_GT(line.size(), tail.size()) << line;
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    std::string count = line.substr(head.size(), line.find(" records in ") - head.size());
    count.erase(std::remove(count.begin(), count.end(), ','), count.end());
    EXPECT_GE(std::atoi(count.c_str()), fewest) << line;
    EXPECT_LE(std::atoi(count.c_str()), most) << line;
    const size_t seconds = line.find(" records in ") + 12;
    const size_t unit = line.find(" s, ", seconds);
    ASSERT_NE(unit, std::string::npos) << line;
    EXPECT_EQ(line.substr(seconds, unit - seconds).find_first_not_of("0123456789."), std::string::npos) << line;
    if (measured != nullptr) *measured = std::atof(line.c_str() + unit + 4);
}

bool isAdapterLine(const std::string& line) {
    return line == "The adapter holds received bytes (for example an FTDI adapter's latency timer): see \"Setting a "
                   "USB adapter's latency timer\" in the service guide to set it to 1 ms.";
}

std::string GuiTest::useUnicodeProfile() {
    unicodeProfile.reset(new UnicodeProfile);
    return unicodeProfile->installer();
}

void GuiTest::expectShowLogsOpensTheLogsFolder() {
    BrowserCleanup cleanup(installer.id());
    const int showLogs = menuCommand(installer::kHelpMenu, "&Show Update Logs");
    ASSERT_NE(showLogs, 0);
    const WindowState before = window.stableState();
    const size_t mark = tap.recorded();

    window.postMenuCommand(showLogs);
    // The shell's browser on the folder "Logs", and no other.
    std::vector<std::pair<HWND, std::string>> opened;
    const ULONGLONG end = GetTickCount64() + 20000;
    while ((opened = browsers(installer.id())).empty() && GetTickCount64() < end) Sleep(50);
    ASSERT_EQ(opened.size(), 1u) << "no file browser opened";
    EXPECT_EQ(opened.front().second, "Logs");
    // The installer is unchanged.
    EXPECT_EQ(window.stableState(), before);
    EXPECT_TRUE(tapped(mark).empty()) << describeTexts(tapped(mark));
}

std::vector<std::string> GuiTest::loggedTexts(const std::vector<std::string>& lines) {
    // "<milliseconds> ms  <text>", the milliseconds right-aligned.
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        const size_t unit = line.find(" ms  ");
        if (unit == std::string::npos || line.find_first_not_of(' ') == unit ||
            line.find_first_not_of(" 0123456789") != unit + 1)
            continue;
        texts.push_back(line.substr(unit + 5));
    }
    return texts;
}

std::string GuiTest::logLine(const std::pair<int, std::string>& text) {
    return std::string(boxName(text.first)) + " line: " + text.second;
}

::testing::AssertionResult GuiTest::holdsInOrder(const std::vector<std::string>& log,
                                                 const std::vector<std::string>& wanted) {
    auto at = log.begin();
    for (const std::string& line : wanted) {
        at = std::find(at, log.end(), line);
        if (at == log.end()) {
            std::ostringstream out;
            out << "the log lacks, in its place, the line \"" << line << "\"; the log:\n";
            for (const std::string& l : log) out << "  " << l << "\n";
            return ::testing::AssertionFailure() << out.str();
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

namespace {

const wchar_t* const kShellFolderKeys[] = {
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
};
const wchar_t* const kLocalAppData = L"Local AppData";

// A folder and everything in it.
void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(folder + L"\\" + name);
            else
                EXPECT_TRUE(DeleteFileW((folder + L"\\" + name).c_str())) << narrow(name) << ": " << GetLastError();
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << narrow(folder) << ": error " << GetLastError();
}

}  // namespace

UnicodeProfile::UnicodeProfile() {
    wchar_t profile[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile) != S_OK) {
        ADD_FAILURE() << "no profile folder";
        return;
    }
    // Beside the prefix's own profile: "Łukasz 試験", letters no Western ANSI code page has.
    const std::wstring own = profile;
    root = own.substr(0, own.find_last_of(L'\\') + 1) + L"\u0141ukasz \u8A66\u9A13";
    if (GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES) removeTree(root);  // left by a killed run
    const std::wstring localAppData = root + L"\\AppData\\Local";
    for (const std::wstring& folder : {root, root + L"\\AppData", localAppData, root + L"\\Downloads"}) {
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            ADD_FAILURE() << "could not make " << narrow(folder) << ": error " << GetLastError();
            return;
        }
    }
    for (const wchar_t* key : kShellFolderKeys) {
        SavedValue value{key, false, 0, std::vector<BYTE>(4096)};
        HKEY handle = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &handle,
                            nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot open " << narrow(key);
            return;
        }
        DWORD size = static_cast<DWORD>(value.data.size());
        value.existed = RegQueryValueExW(handle, kLocalAppData, nullptr, &value.type, value.data.data(), &size) ==
                        ERROR_SUCCESS;
        value.data.resize(value.existed ? size : 0);
        saved.push_back(value);
        const DWORD type = saved.size() == 1 ? REG_EXPAND_SZ : REG_SZ;
        const LONG set =
            RegSetValueExW(handle, kLocalAppData, 0, type, reinterpret_cast<const BYTE*>(localAppData.c_str()),
                           static_cast<DWORD>((localAppData.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
        if (set != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot set Local AppData in " << narrow(key) << ": error " << set;
            return;
        }
    }
    const std::string original = InstallerProcess::defaultPath();
    const std::wstring target = root + L"\\Downloads\\" + widen(original.substr(original.find_last_of("\\/") + 1));
    if (!CopyFileW(widen(original).c_str(), target.c_str(), TRUE)) {
        ADD_FAILURE() << "could not copy the installer to " << narrow(target) << ": error " << GetLastError();
        return;
    }
    copy = narrow(target);
}

UnicodeProfile::~UnicodeProfile() {
    for (const SavedValue& value : saved) {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, value.key.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot restore " << narrow(value.key);
            continue;
        }
        const LONG restored =
            value.existed ? RegSetValueExW(handle, kLocalAppData, 0, value.type, value.data.data(),
                                           static_cast<DWORD>(value.data.size()))
                          : RegDeleteValueW(handle, kLocalAppData);
        RegCloseKey(handle);
        EXPECT_EQ(restored, ERROR_SUCCESS) << "Local AppData in " << narrow(value.key) << " stays redirected";
    }
    if (!root.empty() && GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES) removeTree(root);
}
