// The end-to-end fixture; see GuiTest.h.
#include "tests/gui/GuiTest.h"

#include "tests/gui/PortDevices.h"
#include "tests/support/TestEnvironment.h"

#include <sstream>

namespace {

const char kInstallerAppKey[] = "Software\\Wine\\AppDefaults\\KQ7750Installer.exe";

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
    const LONG removed = RegDeleteTreeA(HKEY_CURRENT_USER, kInstallerAppKey);
    ASSERT_TRUE(removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) << "error " << removed;
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
    if (setupApiDisabled) {
        const LONG removed = RegDeleteTreeA(HKEY_CURRENT_USER, kInstallerAppKey);
        EXPECT_EQ(removed, ERROR_SUCCESS) << "the installer's DLL override stays in the prefix";
        setupApiDisabled = false;
    }
}

void GuiTest::registerComOne() {
    std::string error;
    ASSERT_TRUE(portdevices::removeAll(error)) << error;
    ASSERT_TRUE(portdevices::add("COM1", kPortDescription, error)) << error;
}

void GuiTest::removePortDevices() {
    std::string error;
    ASSERT_TRUE(portdevices::removeAll(error)) << error;
    std::vector<portdevices::PortDevice> left;
    ASSERT_TRUE(portdevices::list(left, error)) << error;
    ASSERT_TRUE(left.empty()) << left.size() << " Ports devices are still present";
}

void GuiTest::startLoader(const std::string& options) {
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
    loaderId = rig.start(1, args);
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

void GuiTest::disableSetupApiForInstaller() {
    const std::string path = std::string(kInstallerAppKey) + "\\DllOverrides";
    HKEY key = nullptr;
    const LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                         nullptr);
    ASSERT_EQ(created, ERROR_SUCCESS);
    setupApiDisabled = true;
    // An empty load order: neither Wine's builtin nor a native SETUPAPI.DLL may load.
    const LONG written = RegSetValueExA(key, "setupapi", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
    RegCloseKey(key);
    ASSERT_EQ(written, ERROR_SUCCESS);
}

void GuiTest::launch() {
    ASSERT_EQ(InstallerWindow::find(), nullptr) << "an installer window is already open";
    ASSERT_TRUE(installer.start(InstallerProcess::defaultPath())) << installer.lastError();
    window = InstallerWindow(InstallerWindow::waitFor(kWindowTimeoutMs));
    ASSERT_TRUE(window.exists()) << "the installer's window did not appear";
    ASSERT_EQ(window.processId(), installer.id());
    ASSERT_TRUE(tap.attach(window.handle())) << tap.lastError();
}

DWORD GuiTest::closeWithoutQuestion(Closing how) {
    if (how == Closing::ThroughFileExit)
        window.postMenuCommand(installer::kMenuExit);
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
    window.postMenuCommand(installer::kMenuAbout);
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
