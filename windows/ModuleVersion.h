// The fixed part of a module's own version record, read from the module's resource as
// it is loaded: no file path and no version DLL are needed.
#pragma once

#include <windows.h>

// False when the module is null or carries no well-formed version record.
bool ReadModuleVersion(HMODULE module, VS_FIXEDFILEINFO& fixed);
