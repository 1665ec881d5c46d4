// TaskbarProgress: the state last set, shown through ITaskbarList3 once the button exists,
// and FlashWindowEx for an update that ends while another program is in front.
#include "windows/TaskbarProgress.h"

namespace {

// CLSID_TaskbarList, spelt out: the SDKs define it only in uuid.lib.
const CLSID TaskbarListClsid = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};

ITaskbarList3* createShellTaskbar() {
    ITaskbarList3* taskbar = nullptr;
    // Windows before 7 have the object but not this interface.
    if (FAILED(CoCreateInstance(TaskbarListClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskbarList3),
                                reinterpret_cast<void**>(&taskbar)))) {
        return nullptr;
    }
    // ITaskbarList::HrInit page: before any other of its calls.
    if (FAILED(taskbar->HrInit())) {
        taskbar->Release();
        return nullptr;
    }
    return taskbar;
}

}  // namespace

const TaskbarApi& TaskbarApi::system() {
    static const TaskbarApi table = {&createShellTaskbar, &::FlashWindowEx, &::GetForegroundWindow};
    return table;
}

TaskbarProgress::TaskbarProgress()
    : api(&TaskbarApi::system()),
      window(nullptr),
      taskbar(nullptr),
      state(TBPF_NOPROGRESS),
      position(0),
      top(0),
      shownPercent(-1) {}

TaskbarProgress::~TaskbarProgress() {
    if (taskbar != nullptr) taskbar->Release();
}

void TaskbarProgress::attach(HWND progressWindow) {
    window = progressWindow;
    // Explorer's message reaches a program run as administrator only when let through
    // (ChangeWindowMessageFilterEx page). Ignored result: without it the button shows nothing.
    ChangeWindowMessageFilterEx(window, buttonCreatedMessage(), MSGFLT_ALLOW, nullptr);
}

UINT TaskbarProgress::buttonCreatedMessage() {
    // ITaskbarList3 page; 0 (never a message) should the registration fail.
    static const UINT message = RegisterWindowMessageA("TaskbarButtonCreated");
    return message;
}

void TaskbarProgress::buttonCreated() {
    // Made once: the message comes again after Explorer restarts, and from any process to a
    // program run as administrator (attach lets it through), so a flood must not make and
    // release an object each time. Nothing says that an object made before a restart still
    // reaches the new taskbar: one that refuses the state on the new button is let go and
    // made once more.
    if (taskbar == nullptr) taskbar = api->createTaskbar();
    if (show(true) || taskbar == nullptr) return;
    taskbar->Release();
    taskbar = api->createTaskbar();
    show(true);
}

void TaskbarProgress::setApi(const TaskbarApi& table) {
    if (taskbar != nullptr) taskbar->Release();
    taskbar = nullptr;
    api = &table;
}

void TaskbarProgress::none() {
    const bool changed = state != TBPF_NOPROGRESS;
    state = TBPF_NOPROGRESS;
    show(changed);
}

void TaskbarProgress::indeterminate() {
    const bool changed = state != TBPF_INDETERMINATE;
    state = TBPF_INDETERMINATE;
    show(changed);
}

void TaskbarProgress::error() {
    const bool changed = state != TBPF_ERROR;
    state = TBPF_ERROR;
    show(changed);
}

void TaskbarProgress::records(int32_t barPosition, int32_t barTop) {
    const bool changed = state != TBPF_NORMAL;
    state = TBPF_NORMAL;
    position = barPosition;
    top = barTop;
    shownPercent = -1;
    show(changed);
}

void TaskbarProgress::step(int32_t barPosition, int32_t barTop) {
    if (state != TBPF_NORMAL) return;
    position = barPosition;
    top = barTop;
    show(false);
}

void TaskbarProgress::flashUnlessInFront() {
    if (window == nullptr) return;
    const HWND front = api->getForegroundWindow();
    if (front != nullptr && GetWindowThreadProcessId(front, nullptr) == GetWindowThreadProcessId(window, nullptr)) {
        return;
    }
    FLASHWINFO flash = {sizeof flash, window, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
    // The answer is the window's state before the call, not success: nothing to check.
    api->flashWindowEx(&flash);
}

bool TaskbarProgress::show(bool stateChanged) {
    if (taskbar == nullptr || window == nullptr) return false;
    // A taskbar that refuses a call shows less, and the update goes on.
    if (stateChanged) {
        shownPercent = -1;
        if (FAILED(taskbar->SetProgressState(window, state))) return false;
    }
    if (state != TBPF_NORMAL || top <= 0) return true;
    // A value a percent: each call reaches Explorer's process, and the bar moves a record at a
    // time, thousands of them.
    const int percent = static_cast<int>(static_cast<int64_t>(position) * 100 / top);
    if (percent == shownPercent) return true;
    shownPercent = percent;
    return SUCCEEDED(
        taskbar->SetProgressValue(window, static_cast<ULONGLONG>(position), static_cast<ULONGLONG>(top)));
}

void TaskbarProgress::onConnectPressed(const std::string& /*portRow*/) {
    none();
}

void TaskbarProgress::onEraseStarted() {
    // The erase reports steps of its own pace, not of the whole: the button shows only that
    // it goes on.
    indeterminate();
}

void TaskbarProgress::onRecordsStarted(const RecordsStart& start) {
    records(0, start.barTop);
}

void TaskbarProgress::onRecordStep(int32_t position, int32_t top, uint32_t /*recordsLeft*/) {
    step(position, top);
}

void TaskbarProgress::onUpdateEnded(UpdateEnd end) {
    // The program leaving with its window says nothing on a button that goes with it.
    if (end == UpdateEnd::Abandoned) return;
    if (end == UpdateEnd::Failed) {
        error();
    } else {
        none();
    }
    flashUnlessInFront();
}
