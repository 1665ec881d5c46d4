// The log of one start of the program: a plain-text file (ANSI, CRLF lines) in the user's
// local application data (LogFolder) that keeps what the window showed, with the time of
// each text, the Blackfin transfer's progress and pace and each update's outcome and phase
// times, for the service department. Window thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/WinHandles.h"
#include "updateevents/UpdateFollower.h"

class UpdateLog : public UpdateFollower {
public:
    // A transfer that fails sooner says too little about the adapter's pace to log it.
    static constexpr uint32_t PaceMinimumRecords = 100;

    UpdateLog();
    UpdateLog(const UpdateLog&) = delete;
    UpdateLog& operator=(const UpdateLog&) = delete;

    // Opens this start's log, named by the local date and time, removes the oldest logs
    // beyond LogFolder::KeptLogs and writes the header. A log that cannot be made leaves every
    // call below doing nothing: the program works the same without it.
    void open(const std::string& releaseLabel);
    bool isOpen() const { return file.valid(); }
    // For the fault report, which writes its lines to this file: the open file (or an
    // invalid handle), its full path, and the tick count its times count from.
    HANDLE handle() const { return file.get(); }
    const std::wstring& path() const { return filePath; }
    ULONGLONG startedAt() const { return startTick; }

    // One line with the time since the start in milliseconds.
    void line(const std::string& text);
    // A text shown on one of the window's lines or in a box, with its name.
    void shown(const char* where, const std::string& text);

    // Connect pressed with this port row: a new connection, whose phase times start here.
    void connectPressed(const std::string& portRow);
    void connected();
    // Update Instrument has begun with its first phase.
    void updateStarted(const char* phase);
    void phaseStarted(const char* phase);
    // The Blackfin transfer of `records` records, `imageBytes` in all, at `baud`; the count
    // is logged when it first reaches each tenth of them, as the records still to send are
    // reported. When it ends (complete, or failed after PaceMinimumRecords) its pace is
    // logged beside the line's own, and a pace more than twice the line's own is put down
    // to an adapter that holds received bytes.
    void transferStarted(uint32_t records, uint64_t imageBytes, uint32_t baud);
    bool inTransfer() const { return transferRecords != 0; }
    void recordsLeft(uint32_t left);
    // Windows is about to suspend the PC during an update; forced to the disk.
    void suspending();
    // The update's closing line, forced to the disk; ignored when no update is under way.
    void updateComplete();
    void updateFailed();
    // The last line of the log, forced to the disk: the program closed, or ended by an
    // exception (its text is the fault report's line before this one).
    void programClosed();

    // The pace lines of a transfer whose first `records` (of `imageRecords`, `imageBytes` in
    // all, sent at `baud`) took `ms`: the pace beside the line's own and, when it is more
    // than twice that, the adapter's line.
    // As an update's follower (the policy's last, so that its closing line follows what the
    // others did): the calls above, the Blackfin's records as its transfer, a PIC's left out;
    // an update abandoned with the program is closed by the program's closing line, whether the
    // window closed or an exception ended the program.
    void onConnectPressed(const std::string& portRow) override;
    void onConnected() override;
    void onUpdateStarted(const char* firstPhase) override;
    void onPhaseStarted(const char* phase) override;
    void onRecordsStarted(const RecordsStart& start) override;
    void onRecordStep(int32_t position, int32_t top, uint32_t left) override;
    void onRecordsFinished() override;
    void onUpdateEnded(UpdateEnd end) override;
    void onSuspending() override;
    void onClosing() override;
    void onExceptionEscaped() override;
    void onShown(const char* where, const std::string& text) override;
    void onBoxAnswered(const char* answer) override;

    static std::vector<std::string> paceLines(uint32_t records, ULONGLONG ms, uint32_t imageRecords,
                                              uint64_t imageBytes, uint32_t baud);

private:
    struct PhaseTime {
        std::string name;
        ULONGLONG startMs;
        ULONGLONG endMs;  // equal to startMs while the phase runs
    };

    void programEnded(const char* how);
    void write(const std::string& text);
    void flush();
    ULONGLONG elapsedMs() const;
    void endPhase();
    // Ends the update's last phase and its transfer, logging the transfer's pace; false
    // when no update was under way.
    bool endUpdate(bool completed);
    void logPace();
    std::string phaseTimes();
    std::string lastShownOn(const char* where) const;

    UniqueFileHandle file;
    std::wstring filePath;  // empty while no log is open
    ULONGLONG startTick;
    std::vector<PhaseTime> phases;  // of the latest connection and its update
    bool phaseRunning;
    bool updating;
    bool flushNextLine;        // a phase has begun: its first line goes to the disk
    uint32_t transferRecords;  // 0 when no transfer runs
    uint64_t transferBytes;
    uint32_t transferBaud;
    uint32_t tenthsLogged;
    uint32_t recordsWritten;   // the highest count reported so far
    ULONGLONG transferStartMs;
    ULONGLONG lastRecordMs;    // when recordsWritten was reached
    // The latest text of each line, for a failure's closing line.
    std::vector<std::pair<std::string, std::string>> lastShown;
};
