// Reading VS_VERSIONINFO's fixed file information straight from the resource.
#include "windows/ModuleVersion.h"

#include <cstring>
#include <cwchar>

bool ReadModuleVersion(HMODULE module, VS_FIXEDFILEINFO& fixed) {
    if (module == nullptr) {
        return false;
    }
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));  // RT_VERSION
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    const DWORD size = found ? SizeofResource(module, found) : 0;
    // The record opens with its length, its value's length and its type (three WORDs), then
    // the key L"VS_VERSION_INFO" with its terminator, padded to a 32-bit boundary; the
    // value, VS_FIXEDFILEINFO, follows.
    const wchar_t key[] = L"VS_VERSION_INFO";
    const DWORD keyAt = 3 * sizeof(WORD);
    const DWORD valueAt = (keyAt + sizeof key + 3) & ~3u;
    if (data == nullptr || size < valueAt + sizeof fixed) {
        return false;
    }
    WORD valueLength = 0;
    std::memcpy(&valueLength, data + sizeof(WORD), sizeof valueLength);
    if (valueLength < sizeof fixed || std::memcmp(data + keyAt, key, sizeof key) != 0) {
        return false;
    }
    std::memcpy(&fixed, data + valueAt, sizeof fixed);
    return fixed.dwSignature == VS_FFI_SIGNATURE;
}
