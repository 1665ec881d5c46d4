// Start-up: the single-instance rule, a dialog that cannot be created, the message
// loop ending with the close path, the allocation-failure handler, and WinMain's
// boxes and exit code for an exception thrown inside a timer callback.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <regex>
#include <stdexcept>
#include <thread>

#include "engine/UpdateEngine.h"
#include "resources/resource.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/InstallerController.h"
#include "ui/MainWindow.h"
#include "ui/WinException.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int);

// Allocations of this program fail on demand, on the thread that asks for it: the next
// one calls the new handler as an exhausted heap would, or throws something that is
// not an allocation failure at all.
enum class AllocationFault { None, OutOfMemory, Foreign };
static thread_local AllocationFault nextAllocation = AllocationFault::None;

void* operator new(std::size_t size) {
    for (;;) {
        const AllocationFault fault = nextAllocation;
        nextAllocation = AllocationFault::None;
        if (fault == AllocationFault::Foreign) throw std::runtime_error("not an allocation failure");
        if (fault == AllocationFault::None) {
            if (void* block = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1)) return block;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void operator delete(void* block) noexcept {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace {

const char* const WindowTitle = "KQ7750 Firmware Installer";
const char* const ExceptionCaption = "KQ7750 Installer Exception";

struct TitleSearch {
    const char* title;
    int count;
};

// A named __stdcall function: a lambda converts only to the default calling convention,
// which a 32-bit build does not take for WNDENUMPROC.
BOOL CALLBACK CountTitled(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<TitleSearch*>(data);
    if (uitest::windowText(window) == search->title) {
        ++search->count;
    }
    return TRUE;
}

int countWindowsTitled(const char* title) {
    TitleSearch search = {title, 0};
    EnumWindows(CountTitled, reinterpret_cast<LPARAM>(&search));
    return search.count;
}

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

TEST(ShellTest, ASecondInstanceReturnsMinusOneAndCreatesNothing) {
    // Any top-level window with the installer's title counts as the first instance.
    HWND first = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_INSTALLER),
                                    nullptr, PlainDialogProc, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(countWindowsTitled(WindowTitle), 1);

    InstallerController second(GetModuleHandleA(nullptr));
    EXPECT_EQ(second.Run(), -1);
    EXPECT_EQ(second.dialog, nullptr) << "the second instance initialised a dialog";
    EXPECT_EQ(countWindowsTitled(WindowTitle), 1);
    EXPECT_EQ(g_engine.load(), nullptr);
    DestroyWindow(first);
    uitest::clearQuit();
}

TEST(ShellTest, ADialogThatCannotBeCreatedIsReportedAndGivesZero) {
    // A module without template 101: the version fixture DLL beside this program.
    char path[MAX_PATH];
    std::string self(path, GetModuleFileNameA(nullptr, path, sizeof path));
    std::string fixture = self.substr(0, self.find_last_of("\\/") + 1) + "ui_version_none.dll";
    HMODULE module = LoadLibraryA(fixture.c_str());
    ASSERT_NE(module, nullptr) << fixture;

    InstallerController controller(module);
    uitest::BoxAnswerer answer("Loader failed to start", IDOK);
    EXPECT_EQ(controller.Run(), 0);
    ASSERT_TRUE(answer.finish()) << "no failure box";
    EXPECT_TRUE(std::regex_match(answer.text(), std::regex("CreateDialog Error 0x[0-9A-F]{8}")))
        << answer.text();
    EXPECT_NE(answer.text(), "CreateDialog Error 0x00000000");
    EXPECT_EQ(countWindowsTitled(WindowTitle), 0);
    FreeLibrary(module);
}

TEST(ShellTest, RunServesTheWindowUntilItIsClosedAndReturnsZero) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    uitest::clearQuit();
    g_controller = new InstallerController(GetModuleHandleA(nullptr));

    std::atomic<bool> closed(false);
    std::thread closer([&closed] {
        DWORD start = GetTickCount();
        HWND window = nullptr;
        while (window == nullptr && GetTickCount() - start < 20000) {
            window = FindWindowA(nullptr, WindowTitle);
            Sleep(20);
        }
        if (window != nullptr) {
            closed = PostMessageA(window, WM_CLOSE, 0, 0) != FALSE;
        }
    });
    int exitCode = g_controller->Run();
    closer.join();
    ASSERT_TRUE(closed) << "the window never appeared";
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(g_controller, nullptr) << "closing did not destroy the controller";
    EXPECT_EQ(g_engine.load(), nullptr);
    EXPECT_EQ(countWindowsTitled(WindowTitle), 0);
}

TEST(ShellTest, AllocationFailureBecomesOutOfMemory) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    try {
        OutOfMemoryHandler();
        FAIL() << "returned";
    } catch (const WinException& failure) {
        EXPECT_STREQ(failure.message, "Out of memory");
        EXPECT_EQ(failure.errorCode, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
    }

    std::new_handler previous = std::set_new_handler(OutOfMemoryHandler);
    bool thrown = false;
    try {
        // A direct call: the compiler may drop an unused new-expression altogether.
        void* block = ::operator new(static_cast<size_t>(-1) / 4);
        ::operator delete(block);
    } catch (const WinException& failure) {
        thrown = std::string(failure.message) == "Out of memory";
    }
    std::set_new_handler(previous);
    EXPECT_TRUE(thrown);
}

// Inside the child: once the main dialog exists, the connect timer is started one tick
// before a retry (whose text needs an allocation), and the allocation fault is armed for
// the dispatch of its WM_TIMER alone, so that it fires inside the controller's TimerProc.
AllocationFault childFault = AllocationFault::None;
bool childTimerStarted = false;

LRESULT CALLBACK FailInsideTheConnectTimer(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        const MSG* message = reinterpret_cast<const MSG*>(lParam);
        nextAllocation = AllocationFault::None;
        InstallerController* controller = TheInstallerController();
        if (controller != nullptr && controller->dialog != nullptr) {
            if (!childTimerStarted) {
                childTimerStarted = true;
                controller->connectTicks = InstallerController::TicksPerAttempt;
                controller->connectTimer = SetTimer(controller->dialog, InstallerController::ConnectTimerId,
                                                    10, InstallerController::TimerProc);
            } else if (message->message == WM_TIMER && message->hwnd == controller->dialog &&
                       message->wParam == InstallerController::ConnectTimerId) {
                nextAllocation = childFault;
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(ShellTest, AnExceptionInATimerCallbackEndsInWinMainsBoxAndExitCodeZero) {
    const struct {
        const char* fault;
        const char* text;
    } cases[] = {{"out-of-memory", "Out of memory"}, {"foreign", "Unknown"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        uitest::BoxAnswerer box(ExceptionCaption, IDOK, 60000);
        std::string output;
        const int exitCode = uitest::runSelfWithoutSetupApi(
            "WinMainChild.*", {std::string("KQ_UI_WINMAIN_FAULT=") + c.fault}, output, 60000);
        ASSERT_TRUE(box.finish()) << "no exception box\n" << output;
        EXPECT_EQ(box.text(), c.text);
        EXPECT_EQ(exitCode, 0) << output;
    }
}

}  // namespace

// Runs in the child that ShellTest.AnExceptionInATimerCallbackEndsInWinMainsBoxAndExitCodeZero
// starts: the whole program from WinMain on, and its result as the exit code.
TEST(WinMainChild, FailsInsideTheConnectTimer) {
    const char* fault = std::getenv("KQ_UI_WINMAIN_FAULT");
    if (fault == nullptr) {
        GTEST_SKIP() << "runs in the child of ShellTest.AnExceptionInATimerCallbackEndsInWinMainsBoxAndExitCodeZero";
    }
    childFault = std::string(fault) == "foreign" ? AllocationFault::Foreign : AllocationFault::OutOfMemory;
    ASSERT_NE(SetWindowsHookExA(WH_GETMESSAGE, FailInsideTheConnectTimer, nullptr, GetCurrentThreadId()), nullptr);
    // A swallowed exception leaves the program running: end it, without a box.
    std::thread([] {
        Sleep(30000);
        ExitProcess(99);
    }).detach();
    char commandLine[] = "";
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, commandLine, SW_SHOWNORMAL)));
}
