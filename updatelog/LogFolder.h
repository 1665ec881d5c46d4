// The update logs' folder in the user's local application data: where it is, the name of
// each start's log in it, and the pruning of old logs. Every call is a UTF-16 one, so a
// profile or folder named outside the ANSI code page works as any other. Window thread only.
#pragma once

#include <windows.h>

#include <string>

#include "engine/WinHandles.h"

class LogFolder {
public:
    // The logs kept after a start's pruning, that start's own among them.
    static constexpr size_t KeptLogs = 100;

    // Finds "<Local AppData>\KQ7750 Firmware Installer\Logs" and makes it when missing.
    LogFolder();
    // False when Windows names no such folder or it cannot be made.
    bool exists() const { return !folder.empty(); }
    const std::wstring& path() const { return folder; }

    // Creates a new log named by the local time `start` ("YYYY-MM-DD_hh-mm-ss.log", or with
    // "_2" to "_9" before ".log" for further starts in the same second); never opens an
    // existing file. Invalid when none can be made; `name` is then empty.
    UniqueFileHandle createLog(const SYSTEMTIME& start, std::wstring& name) const;
    // Removes logs until KeptLogs remain: `own` and the most recently written of the others,
    // judged by each file's last-write time, which Windows keeps in UTC, not by its name, which
    // is local time: a change of time zone or of daylight-saving time cannot reorder the logs.
    // Both come from the PC's clock, so a clock that was once wrong misorders either.
    // A log's fault dump (dumpName) goes with it, and a dump whose log is gone goes too.
    // Files not named as a log or a log's dump are never touched.
    void prune(const std::wstring& own) const;

    // "YYYY-MM-DD_hh-mm-ss.log" or "YYYY-MM-DD_hh-mm-ss_N.log" (N decimal digits).
    static bool isLogName(const std::wstring& name);
    // The fault dump beside the log `logName`: the same name with ".dmp" for ".log".
    static std::wstring dumpName(const std::wstring& logName);

private:
    std::wstring folder;  // empty when there is none
};
