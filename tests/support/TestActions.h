// Actions for tests: one that runs a function and signals when done, and one that
// records whether, where and in which order it was executed and destroyed.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/ActionBase.h"

// Signalled (manual reset) once the action has run; shared so that a caller
// that gave up waiting cannot leave the action with a closed handle.
class DoneSignal {
public:
    DoneSignal() : event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~DoneSignal() {
        if (event) CloseHandle(event);
    }
    DoneSignal(const DoneSignal&) = delete;
    DoneSignal& operator=(const DoneSignal&) = delete;

    void set() {
        if (event) SetEvent(event);
    }
    bool isSet() const { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
    bool wait(DWORD ms) const { return event && WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }
    HANDLE handle() const { return event; }

private:
    HANDLE event;
};

class CallAction : public ActionBase {
public:
    CallAction(std::function<void()> function, std::shared_ptr<DoneSignal> signal = nullptr)
        : fn(std::move(function)), done(std::move(signal)) {}
    void execute() override {
        if (fn) fn();
        if (done) done->set();
    }

private:
    std::function<void()> fn;
    std::shared_ptr<DoneSignal> done;
};

// What happened to a set of TrackedActions, shared between test and threads.
class ActionJournal {
public:
    struct Entry {
        int id;
        bool executed;  // false: destroyed
        DWORD threadId;
    };

    void note(int id, bool executed) {
        std::lock_guard<std::mutex> hold(guard);
        entries.push_back(Entry{id, executed, GetCurrentThreadId()});
    }
    std::vector<Entry> snapshot() const {
        std::lock_guard<std::mutex> hold(guard);
        return entries;
    }
    std::vector<int> executedIds() const {
        std::vector<int> ids;
        for (const Entry& e : snapshot())
            if (e.executed) ids.push_back(e.id);
        return ids;
    }
    int destroyedCount() const {
        int n = 0;
        for (const Entry& e : snapshot())
            if (!e.executed) ++n;
        return n;
    }
    bool wasExecuted(int id) const {
        for (const Entry& e : snapshot())
            if (e.executed && e.id == id) return true;
        return false;
    }
    bool wasDestroyed(int id) const {
        for (const Entry& e : snapshot())
            if (!e.executed && e.id == id) return true;
        return false;
    }

private:
    mutable std::mutex guard;
    std::vector<Entry> entries;
};

class TrackedAction : public ActionBase {
public:
    TrackedAction(std::shared_ptr<ActionJournal> journal, int actionId)
        : log(std::move(journal)), id(actionId) {}
    ~TrackedAction() override { log->note(id, false); }
    void execute() override { log->note(id, true); }

private:
    std::shared_ptr<ActionJournal> log;
    int id;
};

// Holds the thread that executes it until released: keeps the worker busy
// while a test fills the queue behind it.
class BlockingAction : public ActionBase {
public:
    BlockingAction(std::shared_ptr<DoneSignal> startedSignal, std::shared_ptr<DoneSignal> releaseSignal)
        : started(std::move(startedSignal)), release(std::move(releaseSignal)) {}
    void execute() override {
        started->set();
        // Bounded so that a failing test cannot hang the worker for ever.
        release->wait(60000);
    }

private:
    std::shared_ptr<DoneSignal> started;
    std::shared_ptr<DoneSignal> release;
};
