// Routes the main dialog's messages to the controller and the engine's window
// queue, and runs the About box.
#include "ui/MainWindow.h"

#include "engine/UpdateEngine.h"
#include "resources/resource.h"
#include "ui/InstallerController.h"

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    // A registered message has no constant to switch on.
    if (message == TaskbarProgress::buttonCreatedMessage() && message != 0) {
        InstallerController* controller = TheInstallerController();
        if (controller != nullptr) {
            controller->OnTaskbarButtonCreated();
        }
        return TRUE;
    }
    switch (message) {
    case WM_INITDIALOG:
        return g_controller ? g_controller->OnInitDialog(dialog) : TRUE;

    case WM_COMMAND: {
        InstallerController* controller = TheInstallerController();
        WORD notification = HIWORD(wParam);
        switch (LOWORD(wParam)) {
        case IDM_ABOUT: {
            // Engine messages keep reaching this procedure through the box's own loop.
            HINSTANCE instance = reinterpret_cast<HINSTANCE>(
                GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
            DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUT), dialog, AboutDialogProc, 0);
            return FALSE;
        }
        case IDM_EXIT:
            OnClose(dialog);
            return FALSE;
        case IDM_SHOW_LOGS:
            if (controller != nullptr) {
                controller->OnShowLogs();
            }
            return FALSE;
        case IDC_CONNECT:
            return controller ? controller->OnConnectClicked(notification) : FALSE;
        case IDC_UPDATE:
            return controller ? controller->OnUpdateClicked(notification) : FALSE;
        default:
            // Enter and Esc (IDOK, IDCANCEL) deliberately do nothing here.
            return FALSE;
        }
    }

    case WM_CLOSE:
        OnClose(dialog);
        return TRUE;

    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;

    case WM_ENGINE_ACTION: {
        UpdateEngine* engine = g_engine;
        return engine ? engine->drainWindowQueue() : FALSE;
    }

    case WM_ENGINE_TIMER: {
        InstallerController* controller = TheInstallerController();
        return controller ? controller->OnEngineTimer(wParam, lParam != 0) : TRUE;
    }

    case WM_POWERBROADCAST: {
        InstallerController* controller = TheInstallerController();
        if (controller != nullptr && wParam == PBT_APMSUSPEND) {
            controller->OnSuspend();
        }
        // Windows ignores the answer to a suspend notice since Vista; the default grants
        // whatever else comes this way.
        return FALSE;
    }

    case WM_DEVICECHANGE: {
        InstallerController* controller = TheInstallerController();
        if (controller != nullptr) {
            controller->OnDeviceChange(wParam);
        }
        // The default answer grants any query that comes this way.
        return FALSE;
    }

    default:
        return FALSE;
    }
}

void OnClose(HWND dialog) {
    InstallerController* controller = TheInstallerController();
    if (controller != nullptr && !controller->ConfirmExit()) {
        return;
    }
    // A second close that arrives while the confirmation box is open finds the
    // window already gone once the first one returns.
    if (IsWindow(dialog)) {
        DestroyWindow(dialog);  // WM_DESTROY posts the quit message
    }
    // A controller waiting in one of its own message boxes is still on the stack;
    // the quit message ends that box, and WinMain destroys the controller after
    // the message loop instead.
    controller = TheInstallerController();
    if (controller != nullptr && controller->InsideMessageBox()) {
        return;
    }
    delete g_controller;
    g_controller = nullptr;
    // The controller normally takes its engine with it; one left behind has no owner.
    delete g_engine.exchange(nullptr);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        HWND release = GetDlgItem(dialog, IDC_ABOUT_RELEASE);
        if (release != nullptr) {
            std::string text = InstallerController::FormatVersionText();
            SendMessageA(release, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        }
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
