// The main dialog's procedure, the About box's procedure and the close path.
// All of them run on the window thread.
#pragma once

#include <windows.h>

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Asks the controller whether the program may close; if so destroys the window,
// the controller and the engine.
void OnClose(HWND dialog);
