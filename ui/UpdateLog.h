// The log of one start of the program: a plain-text file (ANSI, CRLF lines) in the user's
// local application data that keeps what the window showed, with the time of each text, the
// Blackfin transfer's progress and each update's outcome and phase times, for the service
// department. Window thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/WinHandles.h"

class UpdateLog {
public:
    // Logs older than the newest this many are removed when the program starts.
    static constexpr size_t KeptLogs = 100;

    UpdateLog();
    UpdateLog(const UpdateLog&) = delete;
    UpdateLog& operator=(const UpdateLog&) = delete;

    // "<local application data>\KQ7750 Firmware Installer\Logs", created when missing;
    // empty when Windows names no such folder or it cannot be made.
    static std::string createFolder();

    // Opens this start's log, named by the local date and time, removes the oldest logs
    // beyond KeptLogs and writes the header. A log that cannot be made leaves every
    // call below doing nothing: the program works the same without it.
    void open(const std::string& releaseLabel);
    bool isOpen() const { return file.valid(); }

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
    // The Blackfin transfer of `records` records; the count is logged when it first reaches
    // each tenth of them, as the records still to send are reported.
    void transferStarted(uint32_t records);
    bool inTransfer() const { return transferRecords != 0; }
    void recordsLeft(uint32_t left);
    // Windows is about to suspend the PC during an update.
    void suspending();
    // The update's closing line; ignored when no update is under way.
    void updateComplete();
    void updateFailed();
    // The last line of the log.
    void programClosed();

private:
    struct PhaseTime {
        std::string name;
        ULONGLONG startMs;
        ULONGLONG endMs;  // equal to startMs while the phase runs
    };

    void write(const std::string& text);
    ULONGLONG elapsedMs() const;
    void endPhase();
    // Ends the update's last phase and its transfer; false when no update was under way.
    bool endUpdate();
    std::string phaseTimes();
    std::string lastShownOn(const char* where) const;

    UniqueFileHandle file;
    ULONGLONG startTick;
    std::vector<PhaseTime> phases;  // of the latest connection and its update
    bool phaseRunning;
    bool updating;
    uint32_t transferRecords;  // 0 when no transfer runs
    uint32_t tenthsLogged;
    // The latest text of each line, for a failure's closing line.
    std::vector<std::pair<std::string, std::string>> lastShown;
};
