// What happens to an update as the installer's window sees it, told to each part of the
// program that keeps something of its own beside the window: the log, the power hold, the
// taskbar button. Each follower overrides the events it needs. Window thread only.
#pragma once

#include <cstdint>
#include <string>

// How an update ended: completed, failed (a refused image, a failure report, a vanished
// line), or abandoned with the program (closed, or an exception on its way out).
enum class UpdateEnd { Completed, Failed, Abandoned };

// A run of records begins: a PIC's image or the Blackfin's, `records` of them, shown on a
// bar that tops out at `barTop`; the image's size and the line's speed give the pace.
struct RecordsStart {
    enum Kind { Pic, Blackfin } kind;
    uint32_t records;
    int32_t barTop;
    uint64_t imageBytes;
    uint32_t baud;
};

class UpdateFollower {
public:
    virtual ~UpdateFollower() = default;

    // Connect pressed with this port row: a new connection attempt.
    virtual void onConnectPressed(const std::string& /*portRow*/) {}
    virtual void onConnected() {}
    // Update Instrument has begun, with its first phase.
    virtual void onUpdateStarted(const char* /*firstPhase*/) {}
    virtual void onPhaseStarted(const char* /*phase*/) {}
    // The Blackfin's erase: its steps keep a pace of their own, not the whole's.
    virtual void onEraseStarted() {}
    virtual void onRecordsStarted(const RecordsStart& /*start*/) {}
    // One record's step: the bar at `position` of 0..`top`, the engine's count still to send.
    // Told for every record: a follower allocates nothing here.
    virtual void onRecordStep(int32_t /*position*/, int32_t /*top*/, uint32_t /*recordsLeft*/) {}
    // The loader has taken the last record; the completion's texts come next.
    virtual void onRecordsFinished() {}
    // Told once an update, whatever ended it, before any box.
    virtual void onUpdateEnded(UpdateEnd /*end*/) {}
    // Windows is about to suspend the PC.
    virtual void onSuspending() {}
    // The window is going away: the program's last event.
    virtual void onClosing() {}
    // An exception is ending the program; its box comes next.
    virtual void onExceptionEscaped() {}
    // A text shown on one of the window's lines (by its name) or in a box.
    virtual void onShown(const char* /*where*/, const std::string& /*text*/) {}
    // A box's question answered: "OK" or "Cancel".
    virtual void onBoxAnswered(const char* /*answer*/) {}
};
