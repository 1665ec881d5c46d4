// The update's power request (or, where Windows has none to give, the thread's execution
// state) and its opt-out of power throttling, each undone when the update ends.
#include "windows/PowerHold.h"

#include <algorithm>
#include <iterator>

#include "engine/SystemLibrary.h"

namespace {

// kernel32 is mapped into every process, so looking into it loads nothing.
PowerApi resolveSystemApi() {
    PowerApi table = {};
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SystemLibrary::entry(kernel, "PowerCreateRequest", table.powerCreateRequest);
    SystemLibrary::entry(kernel, "PowerSetRequest", table.powerSetRequest);
    SystemLibrary::entry(kernel, "PowerClearRequest", table.powerClearRequest);
    SystemLibrary::entry(kernel, "SetProcessInformation", table.setProcessInformation);
    table.closeRequest = &CloseHandle;
    table.setThreadExecutionState = &SetThreadExecutionState;
    return table;
}

struct ThrottlingState {  // PROCESS_POWER_THROTTLING_STATE
    ULONG version;
    ULONG controlMask;
    ULONG stateMask;
};

const POWER_REQUEST_TYPE HeldRequests[] = {PowerRequestSystemRequired, PowerRequestDisplayRequired,
                                           PowerRequestExecutionRequired};

}  // namespace

const PowerApi& PowerApi::system() {
    static const PowerApi table = resolveSystemApi();
    return table;
}

PowerHold::PowerHold()
    : api(&PowerApi::system()),
      request(nullptr),
      requestSet{},
      awakeStateSet(false),
      throttlingOptedOut(false),
      holding(false) {}

PowerHold::~PowerHold() {
    release();
}

void PowerHold::hold() {
    if (holding) {
        return;
    }
    holding = true;

    if (api->powerCreateRequest && api->powerSetRequest && api->powerClearRequest) {
        // The context takes a writable string; Windows copies it.
        wchar_t reason[sizeof Reason / sizeof Reason[0]];
        std::copy(std::begin(Reason), std::end(Reason), reason);
        REASON_CONTEXT context = {};
        context.Version = POWER_REQUEST_CONTEXT_VERSION;
        context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
        context.Reason.SimpleReasonString = reason;
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
    setThrottling(ThrottlingExecutionSpeed);
}

void PowerHold::release() {
    if (!holding) {
        return;
    }
    if (request != nullptr) {
        dropRequest();
    }
    if (awakeStateSet) {
        // ES_CONTINUOUS alone hands the idle timers back to Windows.
        api->setThreadExecutionState(ES_CONTINUOUS);
        awakeStateSet = false;
    }
    if (throttlingOptedOut) {
        // A control mask of 0: Windows decides again.
        setThrottling(0);
        throttlingOptedOut = false;
    }
    holding = false;
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

void PowerHold::setThrottling(ULONG controlMask) {
    if (api->setProcessInformation == nullptr) {
        return;
    }
    ThrottlingState state = {ThrottlingStateVersion, controlMask, 0};
    const BOOL taken = api->setProcessInformation(GetCurrentProcess(), ProcessPowerThrottlingClass,
                                                  &state, sizeof state);
    if (controlMask != 0) {
        throttlingOptedOut = taken != FALSE;
    }
}
