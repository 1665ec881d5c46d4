// bench_gui: one full update through the real installer's window against `kqsim loader`,
// timed from outside the installer: start to window shown, each PIC, the erase, the
// Blackfin programming, and the installer's private memory during the Blackfin transfer.
//
//   bench_gui COM PACED INSTALLER   COM: port number; PACED: 1 for --baud 115200, 0 for
//                                   none; INSTALLER: the .exe (Unix or Windows path)
//
// Prints "RESULT key value" lines for scripts/bench.sh; exits non-zero on any failure.
#include "tests/support/RigClient.h"

#include "tests/bench/BenchClock.h"
#include "tests/bench/BenchImage.h"
#include "tests/gui/InstallerPhase.h"
#include "tests/gui/InstallerProcess.h"
#include "tests/gui/InstallerWindow.h"
#include "tests/gui/PortDevices.h"
#include <nlohmann/json.hpp>
#include "tests/support/TestEnvironment.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr unsigned kBaud = 115200;
constexpr DWORD kSampleMs = 10;

// The phase from the two boxes that name it; two cross-process reads a sample instead of
// a whole WindowState keep the driver's share of the two cores small.
Phase phaseOf(const InstallerWindow& window) {
    using namespace installer;
    const std::string status = window.text(kStatusBox);
    if (status == kPicStatus) {
        const std::string update = window.text(kUpdateBox);
        const size_t at = update.find("PIC");
        if (at != std::string::npos && at + 3 < update.size()) {
            if (update[at + 3] == '3') return Phase::Pic3;
            if (update[at + 3] == '4') return Phase::Pic4;
        }
        return Phase::Pic2;
    }
    if (status == kErasingStatus) return Phase::Erasing;
    if (status == kProgrammingStatus) return Phase::Programming;
    if (status == kCompleteStatus) return Phase::Complete;
    if (status == kConnectedStatus) return Phase::Connected;
    if (status == kConnectingStatus) return Phase::Connecting;
    if (status == kFailedStatus || status == kResponseLostStatus || status == kPortNotFoundStatus)
        return Phase::FailedOtherwise;
    return Phase::Unknown;
}

// Private memory as Windows counts it: committed pages of MEM_PRIVATE regions. Wine's
// GetProcessMemoryInfo of another process reports the Unix process's anonymous memory
// instead, which includes Wine's own; this walk gives the Windows view beside it.
SIZE_T privateCommitted(HANDLE process) {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* address = nullptr;
    while (VirtualQueryEx(process, address, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return total;
}

double megabytes(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

int pickRow(const InstallerWindow& window, unsigned com) {
    const std::string wanted = "COM" + std::to_string(com);
    const auto rows = window.portRows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const size_t at = rows[i].find(wanted);
        if (at == std::string::npos) continue;
        const size_t after = at + wanted.size();
        if (after == rows[i].size() || rows[i][after] < '0' || rows[i][after] > '9') return static_cast<int>(i);
    }
    throw Failure{"no port list row names " + wanted};
}

int run(unsigned com, bool paced, const std::string& installerPath) {
    BenchImage image;
    std::string error;
    if (!image.load(error)) throw Failure{error};

    RigClient rig;
    if (!rig.connected()) throw Failure{"rig daemon: " + rig.lastError()};
    const int sim = rig.start(static_cast<int>(com), loaderArguments(paced));
    if (sim < 0) throw Failure{"kqsim did not start: " + rig.lastError()};

    // Wine's Setup API has no present "Ports" device of its own, and the installer lists
    // only what it reports: register one for the port, once per prefix.
    std::vector<portdevices::PortDevice> devices;
    if (!portdevices::list(devices, error)) throw Failure{"Ports devices: " + error};
    bool registered = false;
    for (const auto& device : devices) registered = registered || device.portName == "COM" + std::to_string(com);
    if (!registered && !portdevices::add("COM" + std::to_string(com), "KQ Bench Serial Port", error))
        throw Failure{"registering COM" + std::to_string(com) + ": " + error};

    InstallerProcess installer;
    const std::string exe = installerPath.find(':') == 1 ? installerPath : testenv::windowsPath(installerPath);
    const LARGE_INTEGER launched = now();
    if (!installer.start(exe)) throw Failure{installer.lastError()};
    HWND found = nullptr;
    while (!(found = InstallerWindow::find()) || !IsWindowVisible(found)) {
        if (!installer.running()) throw Failure{"the installer ended before its window showed"};
        if (secondsBetween(launched, now()) > 30) throw Failure{"no window within 30 s"};
        Sleep(1);
    }
    const double shownSeconds = secondsBetween(launched, now());
    InstallerWindow window(found);

    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_VM_OPERATION, FALSE,
                                     installer.id()));
    if (!process) throw Failure{"OpenProcess failed with " + std::to_string(GetLastError())};

    window.selectRow(pickRow(window, com));
    window.click(installer::kConnectButton);
    const LARGE_INTEGER connectStart = now();
    for (Phase p = phaseOf(window); p != Phase::Connected; p = phaseOf(window)) {
        if (p == Phase::FailedOtherwise) throw Failure{"connection failed: " + window.text(installer::kStatusBox)};
        if (secondsBetween(connectStart, now()) > 60) throw Failure{"not connected within 60 s"};
        Sleep(kSampleMs);
    }
    const double connectSeconds = secondsBetween(connectStart, now());

    // First sight of each phase; the update's start is the click.
    std::map<Phase, LARGE_INTEGER> firstSeen;
    SIZE_T peakPrivate = 0;
    SIZE_T walkedPrivate = 0;
    bool walked = false;
    window.click(installer::kUpdateButton);
    firstSeen[Phase::Pic2] = now();
    Phase phase = Phase::Pic2;
    while (phase != Phase::Complete) {
        Sleep(kSampleMs);
        const Phase seen = phaseOf(window);
        if (seen == Phase::FailedOtherwise) throw Failure{"update failed: " + window.text(installer::kStatusBox)};
        if (seen == Phase::Unknown || seen == phase) {
            // fall through to the memory sample
        } else {
            phase = seen;
            firstSeen.emplace(phase, now());
        }
        if (phase == Phase::Programming) {
            // Wine leaves PrivateUsage at 0 for another process; PagefileUsage, the commit
            // charge, is filled in (from the Unix process's anonymous memory).
            PROCESS_MEMORY_COUNTERS_EX counters{};
            if (GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                     sizeof counters) &&
                counters.PagefileUsage > peakPrivate)
                peakPrivate = counters.PagefileUsage;
            // One walk well into the transfer, when the queues and the bar are in full use.
            if (!walked && secondsBetween(firstSeen[Phase::Programming], now()) > 3.0) {
                walkedPrivate = privateCommitted(process.get());
                walked = true;
            }
        }
        if (secondsBetween(firstSeen[Phase::Pic2], now()) > 900) throw Failure{"the update did not end within 900 s"};
    }
    const LARGE_INTEGER completed = firstSeen[Phase::Complete];
    if (!walked) walkedPrivate = privateCommitted(process.get());

    ModalBox box(ModalBox::waitFor(installer::kCompleteCaption, 20000, installer.id()));
    if (!box.exists()) throw Failure{"no \"Update Complete\" box"};
    box.press(IDOK);

    const std::string summary = rig.stop(sim);
    const nlohmann::json json = nlohmann::json::parse(summary, nullptr, false);
    if (json.is_discarded()) throw Failure{"kqsim summary is not JSON: " + summary};
    const nlohmann::json::json_pointer held("/targets/blackfin/image");
    const std::string heldName =
        json.contains(held) && json.at(held).is_string() ? json.at(held).get<std::string>() : "none";
    if (heldName != "300") throw Failure{"the loader's Blackfin memory holds image " + heldName + ", not 300"};

    // A closed window after completion asks nothing; its exit also writes a trace build's stamps.
    window.postClose();
    DWORD exitCode = 0;
    if (!installer.waitExit(30000, exitCode)) throw Failure{"the installer did not exit within 30 s"};

    auto span = [&](Phase from, Phase to) {
        if (!firstSeen.count(from) || !firstSeen.count(to)) throw Failure{std::string("phase not seen: ") + phaseName(from)};
        return secondsBetween(firstSeen[from], firstSeen[to]);
    };
    const char* mode = paced ? "paced" : "unpaced";
    std::printf("RESULT window_shown_s %.3f\n", shownSeconds);
    std::printf("RESULT connect_s %.3f\n", connectSeconds);
    std::printf("RESULT %s_pic2_s %.3f\n", mode, span(Phase::Pic2, Phase::Pic3));
    std::printf("RESULT %s_pic3_s %.3f\n", mode, span(Phase::Pic3, Phase::Pic4));
    std::printf("RESULT %s_pic4_s %.3f\n", mode, span(Phase::Pic4, Phase::Erasing));
    std::printf("RESULT %s_erase_s %.3f\n", mode, span(Phase::Erasing, Phase::Programming));
    std::printf("RESULT %s_blackfin_s %.3f\n", mode, span(Phase::Programming, Phase::Complete));
    std::printf("RESULT %s_update_s %.3f\n", mode, secondsBetween(firstSeen[Phase::Pic2], completed));
    std::printf("RESULT %s_peak_private_mb %.2f\n", mode, megabytes(peakPrivate));
    std::printf("RESULT %s_private_committed_mb %.2f\n", mode, megabytes(walkedPrivate));
    std::printf("RESULT wire_floor_s %.3f\n", image.wireFloorSeconds(kBaud));
    std::printf("RESULT exit_code %lu\n", static_cast<unsigned long>(exitCode));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_gui COM PACED(0|1) INSTALLER\n");
        return 2;
    }
    try {
        return run(static_cast<unsigned>(std::atoi(argv[1])), std::atoi(argv[2]) != 0, argv[3]);
    } catch (const Failure& f) {
        std::fprintf(stderr, "bench_gui: %s\n", f.what.c_str());
        return 1;
    } catch (const DriverError& e) {
        std::fprintf(stderr, "bench_gui: %s\n", e.what());
        return 1;
    }
}
