// Telling each follower of an update every event, in the order they were added.
#include "updateevents/UpdateFollowers.h"

bool UpdateFollowers::add(UpdateFollower& follower) {
    if (telling != 0 || count == Capacity) {
        return false;
    }
    followers[count++] = &follower;
    return true;
}

// A plain loop over the array: a record's step allocates nothing.
template <typename Event>
void UpdateFollowers::tell(Event event) {
    ++telling;
    for (size_t i = 0; i < count; ++i) {
        event(*followers[i]);
    }
    --telling;
}

void UpdateFollowers::onConnectPressed(const std::string& portRow) {
    tell([&](UpdateFollower& f) { f.onConnectPressed(portRow); });
}

void UpdateFollowers::onConnected() {
    tell([](UpdateFollower& f) { f.onConnected(); });
}

void UpdateFollowers::onUpdateStarted(const char* firstPhase) {
    tell([&](UpdateFollower& f) { f.onUpdateStarted(firstPhase); });
}

void UpdateFollowers::onPhaseStarted(const char* phase) {
    tell([&](UpdateFollower& f) { f.onPhaseStarted(phase); });
}

void UpdateFollowers::onEraseStarted() {
    tell([](UpdateFollower& f) { f.onEraseStarted(); });
}

void UpdateFollowers::onRecordsStarted(const RecordsStart& start) {
    tell([&](UpdateFollower& f) { f.onRecordsStarted(start); });
}

void UpdateFollowers::onRecordStep(int32_t position, int32_t top, uint32_t recordsLeft) {
    tell([&](UpdateFollower& f) { f.onRecordStep(position, top, recordsLeft); });
}

void UpdateFollowers::onRecordsFinished() {
    tell([](UpdateFollower& f) { f.onRecordsFinished(); });
}

void UpdateFollowers::onUpdateEnded(UpdateEnd end) {
    tell([&](UpdateFollower& f) { f.onUpdateEnded(end); });
}

void UpdateFollowers::onSuspending() {
    tell([](UpdateFollower& f) { f.onSuspending(); });
}

void UpdateFollowers::onClosing() {
    tell([](UpdateFollower& f) { f.onClosing(); });
}

void UpdateFollowers::onExceptionEscaped() {
    tell([](UpdateFollower& f) { f.onExceptionEscaped(); });
}

void UpdateFollowers::onShown(const char* where, const std::string& text) {
    tell([&](UpdateFollower& f) { f.onShown(where, text); });
}

void UpdateFollowers::onBoxAnswered(const char* answer) {
    tell([&](UpdateFollower& f) { f.onBoxAnswered(answer); });
}
