// The installer driven across many runs; see MatrixRig.h.
#include "tests/reliability/MatrixRig.h"

#include "tests/gui/PortDevices.h"
#include "tests/support/TestEnvironment.h"

#include <sstream>

namespace {

constexpr DWORD kWindowTimeoutMs = 30000;
// A ResponseLost that no failure follows within this time is where the run ended.
constexpr ULONGLONG kSettledLossMs = 3000;
constexpr DWORD kQuietLimitMs = 10000;

const char* boxName(int id) {
    switch (id) {
        case installer::kStatusBox: return "status";
        case installer::kConnectionBox: return "connection";
        case installer::kUpdateBox: return "update";
        default: return "?";
    }
}

StepResult finish(const PhaseWatcher& watcher, bool ended) {
    StepResult r;
    r.ended = ended;
    r.quiet = watcher.quiet();
    r.phase = watcher.last().phase;
    r.history = watcher.describe();
    r.phases = watcher.phases();
    for (const Observation& o : watcher.history()) {
        if (o.phase == r.phase) {
            r.ms = o.atMs;
            break;
        }
    }
    // The first sample of the final phase's last run, not an earlier visit of it.
    for (auto it = watcher.history().rbegin(); it != watcher.history().rend(); ++it) {
        if (it->phase != r.phase) break;
        r.ms = it->atMs;
    }
    return r;
}

}  // namespace

std::string describeTapped(const TextTap& tap, size_t from) {
    std::ostringstream out;
    for (const TappedText& t : tap.texts(from)) out << "  " << boxName(t.controlId) << ": \"" << t.text << "\"\n";
    return out.str();
}

bool MatrixRig::prepare(std::string& error) {
    if (!rig.connected()) {
        error = "rig daemon: " + rig.lastError();
        return false;
    }
    return ensureInstaller(error);
}

bool MatrixRig::ensureInstaller(std::string& error) {
    if (!comRegistered) {
        if (!portdevices::removeAll(error) || !portdevices::add("COM1", kPortDescription, error)) return false;
        comRegistered = true;
    }
    if (installer.running() && window.exists()) return true;
    closeInstaller();
    if (InstallerWindow::find() != nullptr) {
        error = "an installer window of another process is open";
        return false;
    }
    if (!installer.start(InstallerProcess::defaultPath())) {
        error = installer.lastError();
        return false;
    }
    window = InstallerWindow(InstallerWindow::waitFor(kWindowTimeoutMs));
    if (!window.exists()) {
        error = "the installer's window did not appear";
        return false;
    }
    if (attachTap && !tap.attach(window.handle())) {
        error = tap.lastError();
        closeInstaller();
        return false;
    }
    return true;
}

void MatrixRig::closeInstaller() {
    tap.detach();
    if (!installer.running()) return;
    try {
        ModalBox complete(ModalBox::find(installer::kCompleteCaption, installer.id()));
        if (complete.exists()) complete.press(IDOK);
        if (window.exists()) window.postClose();
        ModalBox ask(ModalBox::waitFor(installer::kExitCaption, 2000, installer.id()));
        if (ask.exists()) ask.press(IDOK);
    } catch (const DriverError&) {
        // The kill below ends it anyway.
    }
    DWORD code = 0;
    if (!installer.waitExit(5000, code)) installer.kill();
}

bool MatrixRig::startLoader(const std::string& options, std::string& error) {
    const std::string source = testenv::variable("KQ_SOURCE_DIR");
    const std::string build = testenv::variable("KQ_BUILD_DIR");
    std::string args = "loader --expect-dir \"" + source + "/resources/firmware\" --expect-json \"" + build +
                       "/native/expected_images.json\"";
    if (!options.empty()) args += " " + options;
    loaderId = rig.start(1, args);
    if (loaderId < 0) error = "kqsim " + args + ": " + rig.lastError();
    return loaderId >= 0;
}

bool MatrixRig::stopLoader(nlohmann::json& summary, std::string& error) {
    if (loaderId < 0) {
        summary = nlohmann::json();
        return true;
    }
    const std::string text = rig.stop(loaderId);
    loaderId = -1;
    summary = nlohmann::json::parse(text, nullptr, false);
    if (summary.is_discarded()) {
        error = "summary is not JSON: " + text + " (" + rig.lastError() + ")";
        return false;
    }
    return true;
}

bool MatrixRig::unlinkCom(std::string& error) {
    if (rig.unlink(1)) return true;
    error = rig.lastError();
    return false;
}

StepResult MatrixRig::connect(DWORD deadlineMs) {
    PhaseWatcher watcher(window, 30000, sampleIntervalMs);
    window.click(installer::kConnectButton);
    const bool ended = watcher.watch(
        [](const Observation& o) {
            return o.phase == Phase::Connected || o.phase == Phase::PortNotFound || o.phase == Phase::GivenUp;
        },
        deadlineMs);
    return finish(watcher, ended);
}

StepResult MatrixRig::update(DWORD deadlineMs) {
    PhaseWatcher watcher(window, kQuietLimitMs, sampleIntervalMs);
    ULONGLONG lostSince = 0;
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [&lostSince](const Observation& o) {
            if (o.phase != Phase::ResponseLost) {
                lostSince = 0;
            } else if (lostSince == 0) {
                lostSince = o.atMs;
            } else if (o.atMs - lostSince >= kSettledLossMs) {
                return true;
            }
            return o.phase == Phase::Complete || o.phase == Phase::FailedOtherwise ||
                   o.phase == Phase::FailedWhileConnecting || o.phase == Phase::GivenUp;
        },
        deadlineMs);
    StepResult r = finish(watcher, ended);
    if (r.phase == Phase::Complete) {
        // OnComplete sets the status text first, then blocks in its box.
        ModalBox box(ModalBox::waitFor(installer::kCompleteCaption, 15000, installer.id()));
        if (box.exists()) {
            r.completionBox = true;
            r.completionText = box.messageText();
            box.press(IDOK);
        }
    }
    return r;
}

bool MatrixRig::responsive(DWORD timeoutMs) const {
    DWORD_PTR answer = 0;
    return window.exists() &&
           SendMessageTimeoutA(window.handle(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &answer) != 0;
}

bool MatrixRig::allTargetsExact(const nlohmann::json& summary, std::string* why) {
    static const char* const targets[][2] = {{"pic2", "301"}, {"pic3", "302"}, {"pic4", "303"}, {"blackfin", "300"}};
    for (const auto& t : targets) {
        const nlohmann::json::json_pointer image("/targets/" + std::string(t[0]) + "/image");
        if (!summary.contains(image) || summary.at(image) != t[1]) {
            if (why) *why = std::string(t[0]) + " does not hold image " + t[1];
            return false;
        }
    }
    return true;
}

bool MatrixRig::commandsOnceInOrder(const nlohmann::json& summary, std::string* why) {
    static const std::vector<std::string> update = {
        "VERSION",    "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4", "LOAD_PIC 2",    "PIC_VERS 2",
        "LOAD_PIC 3", "PIC_VERS 3", "LOAD_PIC 4", "PIC_VERS 4", "ERASE_PROGRAM", "LOAD_PROGRAM"};
    // Earlier connection attempts (a retry signs on again) are not the update's.
    std::vector<std::string> log;
    if (!summary.contains("commands")) {
        if (why) *why = "the summary has no command log";
        return false;
    }
    for (const nlohmann::json& c : summary["commands"]) {
        const std::string command = c.is_string() ? c.get<std::string>() : std::string();
        if (command == "###") log.clear();
        else log.push_back(command);
    }
    if (log == update) return true;
    if (why) {
        *why = "the loader received:";
        for (const std::string& c : log) *why += " [" + c + "]";
    }
    return false;
}
