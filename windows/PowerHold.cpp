// The update's power request (or, where Windows has none to give, the thread's execution
// state) and its opt-out of power throttling, each undone when the update ends.
#include "windows/PowerHold.h"

#include "engine/SystemLibrary.h"

namespace {

// kernel32 is mapped into every process, so looking into it loads nothing.
PowerApi resolveSystemApi() {
    PowerApi table = {};
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SystemLibrary::entry(kernel, "PowerCreateRequest", table.powerCreateRequest);
    SystemLibrary::entry(kernel, "PowerSetRequest", table.powerSetRequest);
    SystemLibrary::entry(kernel, "PowerClearRequest", table.powerClearRequest);
    table.setProcessInformation = ProcessThrottling::systemCall();
    table.closeRequest = &CloseHandle;
    table.setThreadExecutionState = &SetThreadExecutionState;
    return table;
}

const POWER_REQUEST_TYPE HeldRequests[] = {PowerRequestSystemRequired, PowerRequestDisplayRequired,
                                           PowerRequestExecutionRequired};

}  // namespace

std::atomic<PowerHold*> PowerHold::active{nullptr};
std::atomic<bool> PowerHold::reportLettingGo{false};

const PowerApi& PowerApi::system() {
    static const PowerApi table = resolveSystemApi();
    return table;
}

PowerHold::PowerHold()
    : api(&PowerApi::system()),
      request(nullptr),
      requestSet{},
      awakeStateSet(false),
      holderThread(0),
      throttlingOptedOut(false),
      holding(false),
      letGoTaken(false) {}

PowerHold::~PowerHold() {
    release();
}

void PowerHold::hold() {
    if (holding) {
        return;
    }
    holding = true;
    holderThread = GetCurrentThreadId();

    if (api->powerCreateRequest && api->powerSetRequest && api->powerClearRequest) {
        // The field is declared writable but need not be; nor is Windows documented to copy
        // the text, so the request names the constant itself, which lasts as long as the program.
        REASON_CONTEXT context = {};
        context.Version = POWER_REQUEST_CONTEXT_VERSION;
        context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
        context.Reason.SimpleReasonString = const_cast<LPWSTR>(Reason);
        // Wine 8's stub answers INVALID_HANDLE_VALUE; Wine 10 makes the request.
        HANDLE created = api->powerCreateRequest(&context);
        if (created != nullptr && created != INVALID_HANDLE_VALUE) {
            request = created;
            for (POWER_REQUEST_TYPE type : HeldRequests) {
                // Execution-required arrived with Windows 8: Windows 7 refuses it, and the
                // system-required request already keeps a Windows 7 PC awake.
                requestSet[type] = api->powerSetRequest(request, type) != FALSE;
            }
            if (!requestSet[PowerRequestSystemRequired]) {
                // A request that keeps nothing awake is no request: fall back as if none.
                dropRequest();
            }
        }
    }
    if (request == nullptr) {
        // On the window thread, which lives as long as the program: the state goes with it
        // at the latest.
        awakeStateSet = api->setThreadExecutionState(AwakeState) != 0;
    }
    // Windows 10 and 11 otherwise run a minimized or hidden window's process on the most
    // efficient frequency and cores while on battery. Missing before Windows 8 and refused
    // before Windows 10 1709 (Wine answers ERROR_CALL_NOT_IMPLEMENTED): ignored there.
    throttlingOptedOut = ProcessThrottling::take(ProcessThrottling::ExecutionSpeed, api->setProcessInformation);
    letGoTaken.store(false);
    active.store(this);
}

void PowerHold::release() {
    if (!holding) {
        return;
    }
    PowerHold* self = this;
    active.compare_exchange_strong(self, nullptr);
    // A fault report that read this hold before it left `active` may still be letting it go:
    // the hold (often about to be destroyed) waits for it. The report's let-go takes no lock
    // and the report ends the process within its own limits, so this wait ends.
    while (reportLettingGo.load()) {
        Sleep(1);
    }
    // A fault report that took the hold has let it go already.
    if (!letGoTaken.exchange(true)) {
        letGo(true);
    }
    holding = false;
}

void PowerHold::releaseAfterFault() {
    // Marked before `active` is read: a release() that takes the hold out of `active` after
    // this read then sees the mark and waits, so the hold outlives its use here.
    reportLettingGo.store(true);
    PowerHold* held = active.load();
    if (held != nullptr && !held->letGoTaken.exchange(true)) {
        // Not the throttling opt-out: it goes through ProcessThrottling's lock, which the
        // faulting thread may hold, and it only sets how fast the process runs until the
        // report ends it.
        held->letGo(false);
    }
    reportLettingGo.store(false);
}

void PowerHold::letGo(bool throttlingToo) {
    if (request != nullptr) {
        dropRequest();
    }
    if (awakeStateSet && GetCurrentThreadId() == holderThread) {
        // ES_CONTINUOUS alone hands the idle timers back to Windows.
        api->setThreadExecutionState(ES_CONTINUOUS);
        awakeStateSet = false;
    }
    if (throttlingOptedOut && throttlingToo) {
        // Windows decides the execution speed again; the rest timer's opt-out stays.
        ProcessThrottling::giveBack(ProcessThrottling::ExecutionSpeed, api->setProcessInformation);
        throttlingOptedOut = false;
    }
}

void PowerHold::dropRequest() {
    for (POWER_REQUEST_TYPE type : HeldRequests) {
        if (requestSet[type]) {
            // Ignored result: the handle is closed next, which ends the request anyway.
            api->powerClearRequest(request, type);
            requestSet[type] = false;
        }
    }
    // Ignored result: a request handle of our own closes.
    api->closeRequest(request);
    request = nullptr;
}

void PowerHold::onUpdateStarted(const char* /*firstPhase*/) {
    hold();
}

void PowerHold::onUpdateEnded(UpdateEnd /*end*/) {
    release();
}

void PowerHold::onClosing() {
    release();
}

void PowerHold::onExceptionEscaped() {
    release();
}
