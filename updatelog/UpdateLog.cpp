// The per-start log's timed narrative: the texts shown, the phases, the Blackfin's progress
// and pace, each update's outcome. The header comes from LogHeader, the file from LogFolder.
#include "updatelog/UpdateLog.h"

#include <algorithm>
#include <cstdio>

#include "updatelog/LogFolder.h"
#include "updatelog/LogHeader.h"

namespace {

// The service guide's section on the adapter's latency timer.
const char* const LatencyTimerSection = "Setting a USB adapter's latency timer";

std::string withThousands(uint32_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

std::string seconds(ULONGLONG ms) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%llu.%02llu s", ms / 1000, (ms % 1000) / 10);
    return duration;
}

}  // namespace

UpdateLog::UpdateLog()
    : startTick(GetTickCount64()),
      phaseRunning(false),
      updating(false),
      flushNextLine(false),
      transferRecords(0),
      transferBytes(0),
      transferBaud(0),
      tenthsLogged(0),
      recordsWritten(0),
      transferStartMs(0),
      lastRecordMs(0) {}

void UpdateLog::open(const std::string& releaseLabel) {
    const LogFolder logs;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring own;
    file = logs.createLog(now, own);
    if (!file.valid()) {
        return;
    }
    startTick = GetTickCount64();
    filePath = logs.path() + L"\\" + own;
    logs.prune(own);

    for (const std::string& header : LogHeaderLines(releaseLabel, now)) {
        write(header);
    }
}

void UpdateLog::line(const std::string& text) {
    if (!file.valid()) {
        return;
    }
    char time[32];
    std::snprintf(time, sizeof time, "%9llu ms  ", elapsedMs());
    write(time + text);
}

void UpdateLog::shown(const char* where, const std::string& text) {
    if (!file.valid()) {
        return;
    }
    // A text with line breaks (the exit question) stays on one line of the log.
    std::string flat = text;
    std::replace(flat.begin(), flat.end(), '\r', ' ');
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    line(std::string(where) + ": " + flat);
    for (auto& last : lastShown) {
        if (last.first == where) {
            last.second = flat;
            return;
        }
    }
    lastShown.emplace_back(where, flat);
}

void UpdateLog::connectPressed(const std::string& portRow) {
    line("Connect: " + portRow);
    // A new connection ends whatever the last one left running; its phases start afresh.
    transferRecords = 0;
    updating = false;
    phases.clear();
    phaseRunning = false;
    phaseStarted("connect");
}

void UpdateLog::connected() {
    endPhase();
}

void UpdateLog::updateStarted(const char* phase) {
    line("Update started");
    updating = true;
    phaseStarted(phase);
}

void UpdateLog::phaseStarted(const char* phase) {
    endPhase();
    const ULONGLONG now = elapsedMs();
    phases.push_back(PhaseTime{phase, now, now});
    phaseRunning = true;
    flushNextLine = true;
}

void UpdateLog::transferStarted(uint32_t records, uint64_t imageBytes, uint32_t baud) {
    transferRecords = records;
    transferBytes = imageBytes;
    transferBaud = baud;
    tenthsLogged = 0;
    recordsWritten = 0;
    transferStartMs = elapsedMs();
    lastRecordMs = transferStartMs;
}

void UpdateLog::recordsLeft(uint32_t left) {
    if (transferRecords == 0 || left > transferRecords) {
        return;
    }
    const uint32_t written = transferRecords - left;
    if (written > recordsWritten) {
        recordsWritten = written;
        lastRecordMs = elapsedMs();
    }
    // Only when a tenth is reached is the disk touched on the record path: one small write.
    const uint32_t tenths =
        static_cast<uint32_t>(static_cast<uint64_t>(written) * 10 / transferRecords);
    if (tenths > tenthsLogged) {
        tenthsLogged = tenths;
        line("Blackfin: " + withThousands(written) + " of " + withThousands(transferRecords) +
             " records");
    }
}

void UpdateLog::suspending() {
    line("Windows is suspending the PC: the update will stop");
    // A PC that sleeps on battery may never wake to write it.
    flush();
}

bool UpdateLog::endUpdate(bool completed) {
    if (!updating) {
        return false;
    }
    endPhase();
    if (transferRecords != 0 && (completed || recordsWritten >= PaceMinimumRecords)) {
        logPace();
    }
    updating = false;
    transferRecords = 0;
    return true;
}

void UpdateLog::logPace() {
    if (recordsWritten == 0 || transferBaud == 0) {
        return;
    }
    for (const std::string& text :
         paceLines(recordsWritten, lastRecordMs - transferStartMs, transferRecords, transferBytes, transferBaud)) {
        line(text);
    }
}

std::vector<std::string> UpdateLog::paceLines(uint32_t records, ULONGLONG ms, uint32_t imageRecords,
                                              uint64_t imageBytes, uint32_t baud) {
    const double measured = static_cast<double>(ms) / records;
    // A record's characters at 10 bits each (start, eight data, stop). The loader echoes
    // each character as it arrives, so the echo comes back while the record is sent and
    // only its last character adds to the record's time.
    const double characters = static_cast<double>(imageBytes) / imageRecords + 1;
    const double own = characters * 10 * 1000 / baud;
    char pace[160];
    std::snprintf(pace, sizeof pace,
                  " records in %s, %.1f ms a record; the line's own pace at %u baud: %.1f ms a record",
                  seconds(ms).c_str(), measured, static_cast<unsigned>(baud), own);
    std::vector<std::string> lines = {"Blackfin pace: " + withThousands(records) + pace};
    if (measured > 2 * own) {
        lines.push_back(std::string("The adapter holds received bytes (for example an FTDI adapter's latency "
                                    "timer): see \"") +
                        LatencyTimerSection + "\" in the service guide to set it to 1 ms.");
    }
    return lines;
}

void UpdateLog::updateComplete() {
    if (endUpdate(true)) {
        line("Update complete. Phase times: " + phaseTimes());
        flush();
    }
}

void UpdateLog::updateFailed() {
    if (!endUpdate(false)) {
        return;
    }
    std::string shownNow;
    for (const char* where : {"update line", "connection line"}) {
        shownNow += std::string(shownNow.empty() ? "" : "; ") + where + " \"" +
                    lastShownOn(where) + "\"";
    }
    line("Update failed: " + shownNow + ". Phase times: " + phaseTimes());
    flush();
}

void UpdateLog::programClosed() {
    programEnded("Program closed");
}

void UpdateLog::programEnded(const char* how) {
    if (updating) {
        endPhase();
        line(std::string(how) + " during the update. Phase times: " + phaseTimes());
    } else {
        line(std::string(how) + ".");
    }
    updating = false;
    flush();
}

void UpdateLog::write(const std::string& text) {
    if (!file.valid()) {
        return;
    }
    // One write per line. It reaches Windows' file cache, which a crash of Windows itself
    // (a USB-serial driver's blue screen) or a power loss can lose: the lines that explain
    // a failure are forced to the disk by flush(), not every line, so that the window
    // thread does not wait for the disk at each text. A failed write (a full disk) is let
    // go; the program goes on as without a log.
    const std::string whole = text + "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
    if (flushNextLine) {
        flushNextLine = false;
        flush();
    }
}

void UpdateLog::flush() {
    // Each phase's first line, an update's closing line and the program's last: a crash
    // after any of them leaves it, and every line before it, on the disk. A failure is let
    // go as a failed write is.
    if (file.valid()) {
        FlushFileBuffers(file.get());
    }
}

ULONGLONG UpdateLog::elapsedMs() const {
    return GetTickCount64() - startTick;
}

void UpdateLog::endPhase() {
    if (phaseRunning && !phases.empty()) {
        phases.back().endMs = elapsedMs();
    }
    phaseRunning = false;
}

std::string UpdateLog::phaseTimes() {
    std::string times;
    for (const PhaseTime& phase : phases) {
        times += (times.empty() ? "" : ", ") + phase.name + " " + seconds(phase.endMs - phase.startMs);
    }
    return times.empty() ? "none" : times;
}

std::string UpdateLog::lastShownOn(const char* where) const {
    for (const auto& last : lastShown) {
        if (last.first == where) {
            return last.second;
        }
    }
    return std::string();
}

void UpdateLog::onConnectPressed(const std::string& portRow) {
    connectPressed(portRow);
}

void UpdateLog::onConnected() {
    connected();
}

void UpdateLog::onUpdateStarted(const char* firstPhase) {
    updateStarted(firstPhase);
}

void UpdateLog::onPhaseStarted(const char* phase) {
    phaseStarted(phase);
}

void UpdateLog::onRecordsStarted(const RecordsStart& start) {
    // A PIC's few records say nothing of the adapter's pace.
    if (start.kind == RecordsStart::Blackfin) {
        transferStarted(start.records, start.imageBytes, start.baud);
    }
}

void UpdateLog::onRecordStep(int32_t /*position*/, int32_t /*top*/, uint32_t left) {
    // The step's own count, not the number of steps (one is left out when the window falls
    // behind), and not the engine's field, whose lock the worker may hold for seconds.
    if (inTransfer()) {
        recordsLeft(left);
    }
}

void UpdateLog::onRecordsFinished() {
    // The last tenth, whose step may have been left out: the loader's closing "Complete."
    // is read only after the last record's echo, so no record is left now.
    if (inTransfer()) {
        recordsLeft(0);
    }
}

void UpdateLog::onUpdateEnded(UpdateEnd end) {
    if (end == UpdateEnd::Completed) {
        updateComplete();
    } else if (end == UpdateEnd::Failed) {
        updateFailed();
    }
}

void UpdateLog::onSuspending() {
    // The power request holds off the idle timers, not a closed lid, the power button or a
    // flat battery: a suspend during an update will take the port with it.
    if (updating) {
        suspending();
    }
}

void UpdateLog::onClosing() {
    programClosed();
}

void UpdateLog::onExceptionEscaped() {
    // The program ends with the exception's box: no window closes after it to tell onClosing.
    programEnded("Program ended by an exception");
}

void UpdateLog::onShown(const char* where, const std::string& text) {
    shown(where, text);
}

void UpdateLog::onBoxAnswered(const char* answer) {
    line(std::string("answered ") + answer);
}
