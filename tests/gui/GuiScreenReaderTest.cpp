// The window as a screen reader meets it from another process: each control's name, role
// and value through AccessibleObjectFromWindow, and the WinEvents of a whole update through
// an out-of-context hook: one per text a line takes, none per record.
#include "tests/gui/GuiTest.h"

#include <oleacc.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// EVENT_OBJECT_LIVEREGIONCHANGED, Windows 8's, which these headers leave out.
constexpr DWORD kLiveRegionChanged = 0x8019;

// The names and texts are ASCII.
std::string narrow(BSTR text) {
    std::string out;
    for (UINT i = 0; text != nullptr && i < SysStringLen(text); ++i) out += text[i] < 0x80 ? char(text[i]) : '?';
    SysFreeString(text);
    return out;
}

struct AccessibleFacts {
    HRESULT found = E_FAIL;
    std::string name;
    std::string value;
    LONG role = -1;
};

// What a screen reader reads of the control's client object: the object the control hands
// out (AccessibleObjectFromWindow), or the one the system would make of it by itself; of the
// object itself, or of one of its children (a combo box's button, for one).
AccessibleFacts readAccessible(HWND control, bool standard = false, LONG child = CHILDID_SELF) {
    AccessibleFacts facts;
    IAccessible* object = nullptr;
    void** out = reinterpret_cast<void**>(&object);
    facts.found = standard ? CreateStdAccessibleObject(control, OBJID_CLIENT, __uuidof(IAccessible), out)
                           : AccessibleObjectFromWindow(control, OBJID_CLIENT, __uuidof(IAccessible), out);
    if (FAILED(facts.found)) return facts;
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = child;
    BSTR text = nullptr;
    if (SUCCEEDED(object->get_accName(self, &text))) facts.name = narrow(text);
    text = nullptr;
    if (SUCCEEDED(object->get_accValue(self, &text))) facts.value = narrow(text);
    VARIANT role;
    VariantInit(&role);
    if (SUCCEEDED(object->get_accRole(self, &role)) && role.vt == VT_I4) facts.role = role.lVal;
    object->Release();
    return facts;
}

struct HeardEvent {
    DWORD event;
    HWND window;
};

// Hears one process's WinEvents as a screen reader does: an out-of-context hook on a thread
// of its own that does nothing but pump messages. Wine drops the events of a hook whose
// thread is not pumping at that moment (seen with a hooking thread asleep for 3 s).
class WinEventRecorder {
public:
    explicit WinEventRecorder(DWORD processId) {
        listener = std::thread([this, processId] { listen(processId); });
        std::unique_lock<std::mutex> lock(guard);
        ready.wait(lock, [this] { return threadId != 0; });
    }
    ~WinEventRecorder() {
        PostThreadMessageA(threadId, WM_QUIT, 0, 0);
        listener.join();
    }
    WinEventRecorder(const WinEventRecorder&) = delete;
    WinEventRecorder& operator=(const WinEventRecorder&) = delete;

    bool hooked() const { return hook != nullptr; }
    std::vector<HeardEvent> heard() const {
        std::lock_guard<std::mutex> lock(guard);
        return events;
    }

private:
    static void CALLBACK onEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD) {
        if (object != OBJID_CLIENT || child != CHILDID_SELF || recorder == nullptr) return;
        if (event != EVENT_OBJECT_NAMECHANGE && event != EVENT_OBJECT_VALUECHANGE && event != kLiveRegionChanged)
            return;
        std::lock_guard<std::mutex> lock(recorder->guard);
        recorder->events.push_back({event, window});
    }

    void listen(DWORD processId) {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue, for WM_QUIT
        recorder = this;
        hook = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, kLiveRegionChanged, nullptr, onEvent, processId, 0,
                               WINEVENT_OUTOFCONTEXT);
        {
            std::lock_guard<std::mutex> lock(guard);
            threadId = GetCurrentThreadId();
        }
        ready.notify_one();
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
        if (hook) UnhookWinEvent(hook);
        recorder = nullptr;
    }

    static WinEventRecorder* recorder;  // the hook's callback has no context of its own
    mutable std::mutex guard;
    std::condition_variable ready;
    DWORD threadId = 0;               // written by the listener, under guard
    HWINEVENTHOOK hook = nullptr;     // written by the listener before threadId
    std::vector<HeardEvent> events;   // written by the listener, read by the test, under guard
    std::thread listener;
};

WinEventRecorder* WinEventRecorder::recorder = nullptr;

}  // namespace

TEST_F(GuiTest, ScreenReaderHearsEachControlByItsNameAndEachNewTextOfALineOnce) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    // Windows 10: the status line is a live region from Windows 8 on.
    ASSERT_NO_FATAL_FAILURE(reportWindowsVersionToInstaller("win10"));
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));

    // Names as the engineer would call the controls; the lines' values are their texts.
    struct Named {
        int id;
        const char* name;
        bool line;
    };
    const Named controls[] = {
        {installer::kPortList, "Serial port", false},
        {installer::kConnectButton, "Connect", false},
        {installer::kUpdateButton, "Update Instrument", false},
        {installer::kConnectionBox, "Connection", true},
        {installer::kUpdateBox, "Update", true},
        {installer::kStatusBox, "Status", true},
        {installer::kProgressBar, "Update progress", false},
        {installer::kReleaseLabel, "The firmware will be updated to release: v1.01", false},
    };
    for (const Named& c : controls) {
        SCOPED_TRACE(std::string("control ") + std::to_string(c.id) + ", \"" + c.name + "\"");
        const HWND control = GetDlgItem(window.handle(), c.id);
        const AccessibleFacts facts = readAccessible(control);
        ASSERT_TRUE(SUCCEEDED(facts.found)) << std::hex << facts.found;
        EXPECT_EQ(facts.name, c.name);
        EXPECT_EQ(facts.role, c.line ? ROLE_SYSTEM_TEXT : readAccessible(control, true).role);
        if (c.line) {
            EXPECT_EQ(facts.value, window.text(c.id));
        }
        EXPECT_EQ(readAccessible(control, false, 2).name, readAccessible(control, true, 2).name)
            << "a child is heard by the control's own name";
    }

    // A whole update: each text a line takes raises one name or value change, and each of
    // the status line's also a live region change; nothing else of the lines raises one.
    WinEventRecorder recorder(installer.id());
    ASSERT_TRUE(recorder.hooked()) << "SetWinEventHook failed";
    const auto lineEvents = [&] {
        std::vector<std::pair<int, DWORD>> fromLines;  // (line, event)
        for (const HeardEvent& e : recorder.heard())
            for (int id : {installer::kStatusBox, installer::kConnectionBox, installer::kUpdateBox})
                if (GetDlgItem(window.handle(), id) == e.window) fromLines.emplace_back(id, e.event);
        return fromLines;
    };
    // The events a run of texts raises, once they have all come in.
    const auto eventsFor = [&](size_t textsFrom) {
        size_t wanted = 0;
        for (const TappedText& t : tap.texts(textsFrom)) wanted += t.controlId == installer::kStatusBox ? 2 : 1;
        const ULONGLONG end = GetTickCount64() + 10000;
        while (lineEvents().size() < wanted && GetTickCount64() < end) Sleep(20);
        return lineEvents().size();
    };
    const size_t connectFrom = tap.recorded();
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));
    const size_t updateEventsFrom = eventsFor(connectFrom);
    PhaseWatcher updating(window);
    CompletionBox box;
    window.click(installer::kUpdateButton);
    ASSERT_TRUE(updating.watch(
        [&](const Observation& o) {
            answerCompletionBox(box);
            return (box.seen && o.phase == Phase::Complete && o.state.connectEnabled) ||
                   o.phase == Phase::FailedWhileConnecting || o.phase == Phase::FailedOtherwise;
        },
        300000))
        << updating.describe();
    ASSERT_EQ(updating.last().phase, Phase::Complete) << updating.describe();
    eventsFor(connectFrom);

    const std::vector<std::pair<int, DWORD>> heard = lineEvents();
    std::vector<int> changed;
    std::vector<int> live;
    for (const auto& e : heard) {
        if (e.second == EVENT_OBJECT_VALUECHANGE || e.second == EVENT_OBJECT_NAMECHANGE) changed.push_back(e.first);
        else if (e.second == kLiveRegionChanged) live.push_back(e.first);
    }
    std::vector<int> textLines;
    std::vector<std::string> statusTexts;
    for (const TappedText& t : tap.texts(connectFrom)) {
        textLines.push_back(t.controlId);
        if (t.controlId == installer::kStatusBox) statusTexts.push_back(t.text);
    }
    EXPECT_EQ(changed, textLines) << describeTexts(tapped(connectFrom));
    EXPECT_EQ(live, std::vector<int>(statusTexts.size(), installer::kStatusBox));
    // Each phase is heard on the status line: connect, the PICs, the erase, the Blackfin,
    // completion (whose box speaks too).
    EXPECT_EQ(statusTexts, (std::vector<std::string>{installer::kConnectingStatus, installer::kConnectedStatus,
                                                     installer::kPicStatus, installer::kErasingStatus,
                                                     installer::kProgrammingStatus, installer::kCompleteStatus}));
    // The update's thousands of records raised none.
    ASSERT_GE(heard.size(), updateEventsFrom);
    std::printf("[          ] %zu events from the lines while connecting, %zu during the update\n", updateEventsFrom,
                heard.size() - updateEventsFrom);
    EXPECT_LE(heard.size() - updateEventsFrom, 40u);

    EXPECT_EQ(closeWithoutQuestion(), 0u);
    stopLoader();
    CoUninitialize();
}
