// The fixture of the end-to-end window tests: a registered (or absent) COM1, the loader
// simulator on COM1 through the rig daemon, the real installer started as its own
// process, its window, and the text tap on that window.
#pragma once

// The rig client's winsock2.h has to come before any windows.h.
#include "tests/support/RigClient.h"

#include "tests/gui/InstallerPhase.h"
#include "tests/gui/InstallerProcess.h"
#include "tests/gui/InstallerWindow.h"
#include "tests/gui/TextTap.h"
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// What the simulated loader says about itself; the connection summary quotes it.
namespace loaderid {
constexpr const char* kVersion = "2.05";
constexpr const char* kSignOn = "KQ7750 Loader V2.05";
constexpr const char* kSpiEprom = "V3.30";
constexpr const char* kPic2 = "V0.92";
constexpr const char* kPic3 = "V0.93";
constexpr const char* kPic4 = "V0.94";
// What the loader reads back once images 301, 302 and 303 are programmed.
constexpr const char* kPic2Programmed = "V1.07";
constexpr const char* kPic3Programmed = "V1.12";
constexpr const char* kPic4Programmed = "V1.03";
}  // namespace loaderid

// How a copy of the installer holds a firmware image: not at all (renumbered), with one
// digit of a record in its middle changed, ending half-way, or without one whole record
// of its middle.
enum class ImageDamage { Missing, OneByteChanged, CutShort, RecordMissing };

// Local AppData pointed at a folder named outside the ANSI code page (as the profile of
// "Łukasz 試験" on a Western Windows) in the prefix's User Shell Folders, and a copy of the
// installer in a folder of such a name, for as long as the object lives; the prefix's own
// settings come back then, and the folders go.
class UnicodeProfile {
public:
    UnicodeProfile();
    ~UnicodeProfile();
    UnicodeProfile(const UnicodeProfile&) = delete;
    UnicodeProfile& operator=(const UnicodeProfile&) = delete;
    // The installer's copy (UTF-8); empty, with a failure reported, when it could not be made.
    const std::string& installer() const { return copy; }

private:
    struct SavedValue {
        std::wstring key;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::wstring root;  // the profile's folder
    std::vector<SavedValue> saved;
    std::string copy;
};

class GuiTest : public ::testing::Test {
protected:
    static constexpr const char* kPortDescription = "KQ Rig Serial Port";
    static constexpr const char* kUsbDescription = "USB Serial Port";
    // The port list's row of a USB adapter on `port` (COMn).
    static std::string usbRow(const std::string& port) { return port + ", (" + kUsbDescription + ")"; }
    static constexpr DWORD kWindowTimeoutMs = 30000;

    void SetUp() override;
    void TearDown() override;

    // The port list's source: COM1 registered as a present device, or no device at all.
    void registerComOne();
    void removePortDevices();
    // Exactly these present devices, as (PortName, description), in this order.
    void registerPorts(const std::vector<std::pair<std::string, std::string>>& ports);

    // `kqsim loader` on COM1 (or COM `com`) with the identity above, then `options`.
    void startLoader(const std::string& options = "", int com = 1);
    // Ends the simulator and reads its summary.
    nlohmann::json stopLoader();
    // COM1 leads nowhere: the device is missing.
    void unlinkComOne();

    // Starts the installer (or the copy at exePath), waits for its window and taps its
    // status boxes.
    void launch(const std::string& exePath = InstallerProcess::defaultPath());
    // The same with Wine's relay trace of the functions that `relayInclude` names
    // ("kernel32.Name;..."), written to `traceFile` (a Unix path).
    void launchTraced(const std::string& relayInclude, const std::string& traceFile);
    // A copy of the installer, beside it, in which the firmware image `id` cannot be found,
    // as in a broken build; empty (with a failure reported) when it could not be made.
    std::string installerWithoutImage(WORD id, const char* type);
    // The same with the image damaged another way (ImageDamage).
    std::string installerWithDamagedImage(WORD id, const char* type, ImageDamage how);
    // Makes SETUPAPI.DLL unloadable in the installer alone, until the test ends. Wine drops
    // WINEDLLOVERRIDES from the environment a Windows program hands to CreateProcess, so
    // this sets the installer's own override key (AppDefaults\<its file name>) instead.
    void disableSetupApiForInstaller();
    // The Windows version Wine reports to the installer alone ("win10"), until the test ends;
    // the rig's prefix reports Windows 7.
    void reportWindowsVersionToInstaller(const char* version);
    // A copy of the installer in a folder that also holds a DLL named `name`.dll for each of
    // `names`, loaded native-first there as Windows does a DLL in a program's folder that is
    // not a Known DLL. Each DLL leaves <folder>\<name>.dll.loaded when a process loads it;
    // plantedDllsLoaded() lists those that did.
    std::string installerWithPlantedDlls(const std::vector<std::string>& names);
    std::vector<std::string> plantedDllsLoaded() const;
    // Closes the window (close box or File, Exit) and expects it to go without a
    // question; returns the exit code.
    enum class Closing { ThroughCloseBox, ThroughFileExit };
    DWORD closeWithoutQuestion(Closing how = Closing::ThroughCloseBox);

    // Presses Connect and samples until the phase "Connected" (or a failure).
    void connect(PhaseWatcher& watcher);
    // The connection summary the loader's identity gives.
    static std::string expectedSummary();

    // Chooses a menu item by its texts; its command id is read from the window's menu.
    void chooseMenuItem(const char* popup, const char* item);
    int menuCommand(const char* popup, const char* item);

    // Answers the completion box (found by its caption) once it shows, noting its text
    // and buttons.
    struct CompletionBox {
        bool seen = false;
        std::string text;
        bool hasOk = false;
        bool hasCancel = false;
    };
    bool answerCompletionBox(CompletionBox& box);
    // Opens the About box during a transfer: the bar goes on moving while it is open
    // (its modal loop dispatches the engine's actions), and it shows the release.
    void expectAboutBoxKeepsTheUpdateGoing();

    // Puts this test in a UnicodeProfile until it ends; returns the installer's copy there.
    std::string useUnicodeProfile();

    // The tapped texts as (box id, text) pairs, from the tap's record `from` on.
    std::vector<std::pair<int, std::string>> tapped(size_t from = 0) const;

    // The update logs: the folder the installer keeps them in, the names of the logs in it
    // (sorted), and the log of the installer that launch() started, as its lines; a line
    // not ended by CR LF fails the test. Paths and names are UTF-8, so that a profile named
    // outside the ANSI code page (UnicodeProfile) is read as the installer writes it.
    static std::string logsFolder();
    static std::vector<std::string> logNames(const char* pattern = "*.log");
    // Removes every file in the logs' folder, and makes the folder when it is missing.
    static void clearLogsFolder();
    // The one log that appeared since launch(); empty (with a failure) otherwise.
    std::string ownLogName() const;
    std::vector<std::string> ownLog() const;
    // The log's first seven lines: the program, its release and file version, the program
    // `exe` as ANSI text (a character the code page lacks as "?") with its SHA-256, the
    // Windows version and the start's local date.
    static void expectLogHeader(const std::vector<std::string>& lines, const std::string& exe);
    // The log's lines after the header, without their time since the start.
    static std::vector<std::string> loggedTexts(const std::vector<std::string>& lines);
    // A tapped text as the log names it: "<line name>: <text>".
    static std::string logLine(const std::pair<int, std::string>& text);
    // Every line of `wanted` in `log`, in that order (others may come between).
    static ::testing::AssertionResult holdsInOrder(const std::vector<std::string>& log,
                                                   const std::vector<std::string>& wanted);
    // Help, Show Update Logs: one file browser opens, on the folder "Logs", and the window and
    // its texts stay as they were. The browser is closed again.
    void expectShowLogsOpensTheLogsFolder();

    RigClient rig;
    InstallerProcess installer;
    InstallerWindow window;
    TextTap tap;
    int loaderId = -1;
    bool dllOverridesSet = false;
    bool relayIncludeSet = false;
    std::vector<std::string> plantedDlls;
    std::vector<std::string> logsBeforeLaunch;
    std::unique_ptr<UnicodeProfile> unicodeProfile;  // goes after the installer in TearDown
};

// UTF-8 to UTF-16 and back.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);

// The log's line on the Blackfin's pace, with `fewest` to `most` records sent; and the line
// that follows it when the pace shows an adapter holding received bytes.
void expectPaceLine(const std::string& line, int fewest, int most, double* measured = nullptr);
bool isAdapterLine(const std::string& line);

// Readable (box, text) pairs in failure messages.
std::string describeTexts(const std::vector<std::pair<int, std::string>>& texts);
