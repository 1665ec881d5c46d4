// The followers of an update, in a fixed order, each told every event once. Window thread only.
#pragma once

#include <cstddef>

#include "updateevents/UpdateFollower.h"

class UpdateFollowers : public UpdateFollower {
public:
    static constexpr size_t Capacity = 4;

    UpdateFollowers() = default;
    UpdateFollowers(const UpdateFollowers&) = delete;
    UpdateFollowers& operator=(const UpdateFollowers&) = delete;

    // Appends a follower, told after those added before it. Refused (false) while an event is
    // being told, since a box's message loop runs other events inside one, and when full.
    bool add(UpdateFollower& follower);
    size_t size() const { return count; }

    void onConnectPressed(const std::string& portRow) override;
    void onConnected() override;
    void onUpdateStarted(const char* firstPhase) override;
    void onPhaseStarted(const char* phase) override;
    void onEraseStarted() override;
    void onRecordsStarted(const RecordsStart& start) override;
    void onRecordStep(int32_t position, int32_t top, uint32_t recordsLeft) override;
    void onRecordsFinished() override;
    void onUpdateEnded(UpdateEnd end) override;
    void onSuspending() override;
    void onClosing() override;
    void onExceptionEscaped() override;
    void onShown(const char* where, const std::string& text) override;
    void onBoxAnswered(const char* answer) override;

private:
    template <typename Event>
    void tell(Event event);

    UpdateFollower* followers[Capacity] = {};  // not owned; each outlives this list's use
    size_t count = 0;
    int telling = 0;  // events being told now (nested inside a box's loop)
};
