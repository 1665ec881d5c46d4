// The program's load configuration: Windows (10 version 1607 and later) resolves the static
// imports of the program and of every DLL loaded with it at start from System32 alone.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// Microsoft's linker takes the flags from /DEPENDENTLOADFLAG and has a structure of its own
// in its runtime; GNU ld takes the whole structure from the program's `_load_config_used`.
#if defined(__GNUC__)

namespace loadconfiguration {

// IMAGE_LOAD_CONFIG_DIRECTORY32/64 ("PE Format", load configuration layout) up to the
// safe exception handler fields: the size of the Windows 7 era, which every loader since
// reads. MinGW-w64's headers still call DependentLoadFlags Reserved1.
struct Directory {
    uint32_t Size;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint32_t GlobalFlagsClear;
    uint32_t GlobalFlagsSet;
    uint32_t CriticalSectionDefaultTimeout;
    ULONG_PTR DeCommitFreeBlockThreshold;
    ULONG_PTR DeCommitTotalFreeThreshold;
    ULONG_PTR LockPrefixTable;
    ULONG_PTR MaximumAllocationSize;
    ULONG_PTR VirtualMemoryThreshold;
#ifdef _WIN64
    ULONG_PTR ProcessAffinityMask;
    uint32_t ProcessHeapFlags;
#else
    uint32_t ProcessHeapFlags;
    ULONG_PTR ProcessAffinityMask;
#endif
    uint16_t CSDVersion;
    uint16_t DependentLoadFlags;
    ULONG_PTR EditList;
    ULONG_PTR SecurityCookie;
    // 32-bit: no table of safe exception handlers (GNU ld makes none), so every handler in
    // the image stays allowed, as without a load configuration.
    ULONG_PTR SEHandlerTable;
    ULONG_PTR SEHandlerCount;
};
static_assert(offsetof(Directory, DependentLoadFlags) == (sizeof(void*) == 8 ? 78 : 54),
              "DependentLoadFlags where Windows reads it");
static_assert(sizeof(Directory) == (sizeof(void*) == 8 ? 112 : 72), "load configuration size");

constexpr Directory withSystem32Imports() {
    Directory directory{};
    directory.Size = sizeof directory;
    directory.DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return directory;
}

}  // namespace loadconfiguration

// The name both linkers look for; the loader finds it through the PE header's load
// configuration entry, which GNU ld points at it.
extern "C" const loadconfiguration::Directory _load_config_used = loadconfiguration::withSystem32Imports();

#endif
