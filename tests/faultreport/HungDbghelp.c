/* A dbghelp whose MiniDumpWriteDump never returns, as one waiting for a lock that the faulting
   thread holds: the fault report's case of a dump past its time. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

__declspec(dllexport) BOOL WINAPI MiniDumpWriteDump(HANDLE process, DWORD id, HANDLE file, int type,
                                                    void* exception, void* stream, void* callback) {
    (void)process, (void)id, (void)file, (void)type, (void)exception, (void)stream, (void)callback;
    Sleep(INFINITE);
    return FALSE;
}
