// kqdrive: drives a running installer window from the command line, for the demo script
// and for manual checks. Each command prints what the engineer would see, as it happens.
//
//   kqdrive [--terminal] COMMAND ...
//     --terminal: the output is a terminal (as the caller on the Linux side sees it): the
//     Blackfin transfer's progress is one line rewritten in place, instead of a line per 10 %.
//
//   kqdrive wait [ms]             wait for the main window
//   kqdrive state                 the boxes, label, enabled states and progress bar
//   kqdrive rows                  the port list's rows, the selected one marked
//   kqdrive select ROW            pick a row of the port list
//   kqdrive click connect|update  press a button
//   kqdrive connect [ms]          press Connect and follow the phases until connected
//   kqdrive update [ms]           press Update Instrument, follow every phase, answer the
//                                 completion box, until the phase "Complete"
//   kqdrive about [open]          the About box's release text; with open, leaves the box
//                                 open (close it with: kqdrive box About ok)
//   kqdrive box CAPTION [ok|cancel] [ms]  wait for a message box, print its text, answer it
//   kqdrive close [ok|cancel]     close the window, answering the confirmation if asked
//   kqdrive rect                  the window's place on the screen: x y width height
#include "tests/gui/InstallerPhase.h"
#include "tests/gui/InstallerWindow.h"
#include "tests/gui/TextTap.h"

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: kqdrive [--terminal] wait [ms] | state | rows | select ROW | click connect|update |\n"
                 "                          connect [ms] | update [ms] | about [open] | box CAPTION [ok|cancel] [ms] |\n"
                 "                          close [ok|cancel] | rect\n");
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

// Where the output goes. Under Wine a Windows program cannot tell a terminal from a pipe
// reliably (its standard handles may be Wine's console emulation either way), so the
// caller says.
enum class Output { Lines, Terminal };

// Prints each change of phase as sampling sees it, and every text and bar state the
// installer sets as the text tap records it, as it happens; and how far the Blackfin
// transfer has come, which for a minute or more changes nothing but the bar.
class PhasePrinter {
public:
    PhasePrinter(const InstallerWindow& window, Output output) : output(output) {
        if (!tap.attach(window.handle())) std::fprintf(stderr, "kqdrive: no text tap (%s)\n", tap.lastError().c_str());
    }
    ~PhasePrinter() { finish(); }

    void onSample(const Observation& o) {
        const std::vector<TappedRecord> records = tap.records(printed);
        // The parser posts this text once the loader has confirmed the last record: the
        // transfer is whole, whatever the bar (which may skip steps when the installer is busy).
        for (const TappedRecord& r : records) {
            if (transfer == Transfer::Running && r.isText && r.text == installer::kTransferCompleteUpdate) {
                shown.records = shown.total;
                shown.elapsedMs = o.atMs - transferStartMs;
                showProgress(o.atMs, true);
                transfer = Transfer::Done;
            }
        }
        if (o.phase != phase || first) {
            line(o.atMs, std::string("phase \"") + phaseName(o.phase) + "\"");
            phase = o.phase;
            first = false;
        }
        for (const TappedRecord& r : records) {
            if (r.isText)
                line(o.atMs, std::string("  ") + boxName(r.controlId) + "\"" + r.text + "\"");
            else if (r.message == CB_RESETCONTENT)
                line(o.atMs, "  port list: filled again");
            else
                line(o.atMs, std::string("  progress bar: ") + (r.barState == PBST_ERROR ? "error" : "normal") + " state");
        }
        printed += records.size();
        followTransfer(o);
        std::fflush(stdout);
    }

    void message(ULONGLONG atMs, const std::string& text) {
        line(atMs, text);
        std::fflush(stdout);
    }

    // Ends a progress line left standing, before anything else is written.
    void finish() {
        if (!live) return;
        std::printf("\n");
        std::fflush(stdout);
        live = false;
    }

private:
    enum class Transfer { None, Running, Done };

    static const char* boxName(int id) {
        return id == installer::kStatusBox ? "status:     " : id == installer::kConnectionBox ? "connection: " : "update:     ";
    }

    void line(ULONGLONG atMs, const std::string& text) {
        finish();
        std::printf("[%6.1f s] %s\n", atMs / 1000.0, text.c_str());
    }

    void followTransfer(const Observation& o) {
        if (o.phase != Phase::Programming || !o.state.progressEnabled) {
            // Ended one way or the other; the texts and the phase have said how.
            transfer = Transfer::None;
            return;
        }
        if (transfer == Transfer::Done) return;
        if (transfer == Transfer::None) {
            transfer = Transfer::Running;
            transferStartMs = o.atMs;
            nextTenth = 1;
            shownAtMs = 0;
        }
        shown = TransferProgress::fromBar(o.state, o.atMs - transferStartMs);
        showProgress(o.atMs, false);
    }

    // On a terminal the line is rewritten four times a second, padded to the longest one
    // so far so that a shorter one leaves nothing behind, and kept below 80 columns, since
    // a CR goes back only to the start of a wrapped line's last row. Elsewhere one line
    // is written at each tenth of the way, so that a log stays short.
    void showProgress(ULONGLONG atMs, bool last) {
        const std::string text = "  Blackfin: " + shown.describe();
        if (output == Output::Terminal) {
            if (!last && live && atMs - shownAtMs < 250) return;
            liveWidth = std::max(liveWidth, static_cast<int>(text.size()));
            std::printf("\r[%6.1f s] %-*s", atMs / 1000.0, liveWidth, text.c_str());
            live = true;
            shownAtMs = atMs;
            if (last) finish();
            return;
        }
        const int tenth = shown.total > 0 ? static_cast<int>(10LL * shown.records / shown.total) : 0;
        if (!last && tenth < nextTenth) return;
        line(atMs, text);
        nextTenth = tenth + 1;
    }

    Output output;
    TextTap tap;
    size_t printed = 0;
    bool first = true;
    Phase phase = Phase::Unknown;
    Transfer transfer = Transfer::None;
    ULONGLONG transferStartMs = 0;
    TransferProgress shown;
    ULONGLONG shownAtMs = 0;
    int nextTenth = 1;
    bool live = false;  // a progress line stands on the terminal without its line end
    int liveWidth = 0;
};

bool isFailure(Phase phase) {
    return phase == Phase::PortNotFound || phase == Phase::GivenUp || phase == Phase::FailedOtherwise ||
           phase == Phase::ResponseLost;
}

int connect(DWORD timeoutMs, Output output) {
    InstallerWindow window = mainWindow();
    PhaseWatcher watcher(window);
    PhasePrinter printer(window, output);
    window.click(installer::kConnectButton);
    // "Failed while connecting" passes by during retries; the give-up ends them.
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            printer.onSample(o);
            return o.phase == Phase::Connected || isFailure(o.phase);
        },
        timeoutMs);
    printer.finish();
    if (!ended) {
        std::fprintf(stderr, watcher.quiet() ? "kqdrive: the window is stuck (no change for 30 s)\n"
                                             : "kqdrive: not connected in time\n");
        return 1;
    }
    return watcher.last().phase == Phase::Connected ? 0 : 1;
}

int update(DWORD timeoutMs, Output output) {
    InstallerWindow window = mainWindow();
    if (!window.enabled(installer::kUpdateButton)) {
        std::fprintf(stderr, "kqdrive: Update Instrument is disabled (connect first)\n");
        return 1;
    }
    PhaseWatcher watcher(window);
    PhasePrinter printer(window, output);
    bool boxAnswered = false;
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            printer.onSample(o);
            if (isFailure(o.phase) || o.phase == Phase::FailedWhileConnecting) return true;
            if (!boxAnswered) {
                ModalBox box(ModalBox::find(installer::kCompleteCaption, window.processId()));
                if (box.exists()) {
                    printer.message(o.atMs, "message box \"" + box.caption() + "\": \"" + box.messageText() + "\"");
                    box.press(IDOK);
                    boxAnswered = true;
                }
            }
            // Complete, and the box dismissed: Connect is enabled again.
            return boxAnswered && o.phase == Phase::Complete && o.state.connectEnabled;
        },
        timeoutMs);
    printer.finish();
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
    // A message box's text; the About box has none.
    if (box.hasButton(0xFFFF)) std::printf("%s\n", box.messageText().c_str());
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

int run(int argc, char** argv, Output output) {
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
    if (command == "connect") return connect(argMs(argc, argv, 2, 60000), output);
    if (command == "update") return update(argMs(argc, argv, 2, 600000), output);
    if (command == "about") {
        const InstallerWindow window = mainWindow();
        TextTap tap;
        const UINT about = tap.attach(window.handle())
                               ? tap.menuCommand(window.handle(), installer::kHelpMenu, installer::kAboutItem)
                               : 0;
        if (about == 0) {
            std::fprintf(stderr, "kqdrive: no About item (%s)\n", tap.lastError().c_str());
            return 1;
        }
        if (argc > 2 && std::string(argv[2]) == "open") {
            window.postMenuCommand(static_cast<int>(about));
            if (ModalBox::waitFor("About", 10000, window.processId())) return 0;
            std::fprintf(stderr, "kqdrive: the About box did not open\n");
            return 1;
        }
        std::printf("%s\n", window.aboutRelease(static_cast<int>(about)).c_str());
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
    // Read on the Linux side: lines end in LF alone, and a lone CR rewrites the progress line.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    Output output = Output::Lines;
    if (argc > 1 && std::string(argv[1]) == "--terminal") {
        output = Output::Terminal;
        --argc;
        ++argv;
    }
    try {
        return run(argc, argv, output);
    } catch (const DriverError& e) {
        std::fprintf(stderr, "kqdrive: %s\n", e.what());
        return 1;
    }
}
