// kqdrive: drives a running installer window from the command line, for the demo script
// and for manual checks. Each command prints what the engineer would see.
//
//   kqdrive wait [ms]             wait for the main window
//   kqdrive state                 the boxes, label, enabled states and progress bar
//   kqdrive rows                  the port list's rows, the selected one marked
//   kqdrive select ROW            pick a row of the port list
//   kqdrive click connect|update  press a button
//   kqdrive connect [ms]          press Connect and follow the phases until connected
//   kqdrive update [ms]           press Update Instrument, follow every phase, answer the
//                                 completion box, until the phase "Complete"
//   kqdrive about                 the About box's release text
//   kqdrive box CAPTION [ok|cancel] [ms]  wait for a message box, print its text, answer it
//   kqdrive close [ok|cancel]     close the window, answering the confirmation if asked
//   kqdrive rect                  the window's place on the screen: x y width height
#include "tests/gui/InstallerPhase.h"
#include "tests/gui/InstallerWindow.h"
#include "tests/gui/TextTap.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: kqdrive wait [ms] | state | rows | select ROW | click connect|update |\n"
                 "               connect [ms] | update [ms] | about | box CAPTION [ok|cancel] [ms] |\n"
                 "               close [ok|cancel] | rect\n");
    return 2;
}

DWORD argMs(int argc, char** argv, int index, DWORD fallback) {
    return argc > index ? static_cast<DWORD>(std::strtoul(argv[index], nullptr, 10)) : fallback;
}

InstallerWindow mainWindow(DWORD timeoutMs = 10000) {
    HWND window = InstallerWindow::waitFor(timeoutMs);
    if (!window) throw DriverError("no window titled \"" + std::string(installer::kWindowTitle) + "\"");
    return InstallerWindow(window);
}

// Prints each change of phase as sampling sees it, and every text and bar state the
// installer sets as the text tap records it, as it happens.
class PhasePrinter {
public:
    explicit PhasePrinter(const InstallerWindow& window) {
        if (!tap.attach(window.handle())) std::fprintf(stderr, "kqdrive: no text tap (%s)\n", tap.lastError().c_str());
    }

    void onSample(const Observation& o) {
        if (o.phase != phase || first) {
            std::printf("[%6.1f s] phase \"%s\"\n", o.atMs / 1000.0, phaseName(o.phase));
            phase = o.phase;
            first = false;
        }
        for (const TappedRecord& r : tap.records(printed)) {
            if (r.isText)
                std::printf("[%6.1f s]   %-12s\"%s\"\n", o.atMs / 1000.0, boxName(r.controlId), r.text.c_str());
            else
                std::printf("[%6.1f s]   progress bar: %s state\n", o.atMs / 1000.0,
                            r.barState == PBST_ERROR ? "error" : "normal");
            ++printed;
        }
        std::fflush(stdout);
    }

private:
    static const char* boxName(int id) {
        return id == installer::kStatusBox ? "status:" : id == installer::kConnectionBox ? "connection:" : "update:";
    }

    TextTap tap;
    size_t printed = 0;
    bool first = true;
    Phase phase = Phase::Unknown;
};

bool isFailure(Phase phase) {
    return phase == Phase::PortNotFound || phase == Phase::GivenUp || phase == Phase::FailedOtherwise ||
           phase == Phase::ResponseLost;
}

int connect(DWORD timeoutMs) {
    InstallerWindow window = mainWindow();
    PhaseWatcher watcher(window);
    PhasePrinter printer(window);
    window.click(installer::kConnectButton);
    // "Failed while connecting" passes by during retries; the give-up ends them.
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            printer.onSample(o);
            return o.phase == Phase::Connected || isFailure(o.phase);
        },
        timeoutMs);
    if (!ended) {
        std::fprintf(stderr, watcher.quiet() ? "kqdrive: the window is stuck (no change for 30 s)\n"
                                             : "kqdrive: not connected in time\n");
        return 1;
    }
    return watcher.last().phase == Phase::Connected ? 0 : 1;
}

int update(DWORD timeoutMs) {
    InstallerWindow window = mainWindow();
    if (!window.enabled(installer::kUpdateButton)) {
        std::fprintf(stderr, "kqdrive: Update Instrument is disabled (connect first)\n");
        return 1;
    }
    PhaseWatcher watcher(window);
    PhasePrinter printer(window);
    bool boxAnswered = false;
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            printer.onSample(o);
            if (isFailure(o.phase) || o.phase == Phase::FailedWhileConnecting) return true;
            if (!boxAnswered) {
                ModalBox box(ModalBox::find(installer::kCompleteCaption, window.processId()));
                if (box.exists()) {
                    std::printf("[%6.1f s] message box \"%s\": \"%s\"\n", o.atMs / 1000.0,
                                box.caption().c_str(), box.messageText().c_str());
                    box.press(IDOK);
                    boxAnswered = true;
                }
            }
            // Complete, and the box dismissed: Connect is enabled again.
            return boxAnswered && o.phase == Phase::Complete && o.state.connectEnabled;
        },
        timeoutMs);
    if (!ended) {
        std::fprintf(stderr, watcher.quiet() ? "kqdrive: the window is stuck (no change for 30 s)\n"
                                             : "kqdrive: the update did not end in time\n");
        return 1;
    }
    return watcher.last().phase == Phase::Complete ? 0 : 1;
}

int answerBox(const std::string& caption, const std::string& answer, DWORD timeoutMs) {
    ModalBox box(ModalBox::waitFor(caption, timeoutMs));
    if (!box.exists()) {
        std::fprintf(stderr, "kqdrive: no box titled \"%s\"\n", caption.c_str());
        return 1;
    }
    std::printf("%s\n", box.messageText().c_str());
    if (answer == "ok") box.press(IDOK);
    if (answer == "cancel") box.press(IDCANCEL);
    return 0;
}

int closeWindow(const std::string& answer) {
    InstallerWindow window = mainWindow();
    window.postClose();
    const ULONGLONG end = GetTickCount64() + 10000;
    while (window.exists()) {
        ModalBox box(ModalBox::find(installer::kExitCaption, window.processId()));
        if (box.exists()) {
            std::printf("asked: \"%s\"\n", box.messageText().c_str());
            box.press(answer == "cancel" ? IDCANCEL : IDOK);
            if (answer == "cancel") return 0;
        }
        if (GetTickCount64() >= end) {
            std::fprintf(stderr, "kqdrive: the window did not close\n");
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

int run(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "wait") {
        if (!InstallerWindow::waitFor(argMs(argc, argv, 2, 30000))) {
            std::fprintf(stderr, "kqdrive: the installer's window did not appear\n");
            return 1;
        }
        return 0;
    }
    if (command == "state") {
        std::printf("%s", mainWindow().stableState().describe().c_str());
        return 0;
    }
    if (command == "rows") {
        InstallerWindow window = mainWindow();
        const int selected = window.selectedRow();
        const auto rows = window.portRows();
        for (size_t i = 0; i < rows.size(); ++i)
            std::printf("%c %s\n", static_cast<int>(i) == selected ? '*' : ' ', rows[i].c_str());
        return 0;
    }
    if (command == "select" && argc == 3) {
        mainWindow().selectRow(std::atoi(argv[2]));
        return 0;
    }
    if (command == "click" && argc == 3) {
        const std::string which = argv[2];
        if (which != "connect" && which != "update") return usage();
        mainWindow().click(which == "connect" ? installer::kConnectButton : installer::kUpdateButton);
        return 0;
    }
    if (command == "connect") return connect(argMs(argc, argv, 2, 60000));
    if (command == "update") return update(argMs(argc, argv, 2, 600000));
    if (command == "about") {
        std::printf("%s\n", mainWindow().aboutRelease().c_str());
        return 0;
    }
    if (command == "box" && argc >= 3) return answerBox(argv[2], argc > 3 ? argv[3] : "", argMs(argc, argv, 4, 10000));
    if (command == "close") return closeWindow(argc > 2 ? argv[2] : "ok");
    if (command == "rect") {
        const RECT r = mainWindow().screenRect();
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const DriverError& e) {
        std::fprintf(stderr, "kqdrive: %s\n", e.what());
        return 1;
    }
}
