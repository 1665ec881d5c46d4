// Loading one embedded firmware image: FindResourceA in the program's own module,
// then SizeofResource, LoadResource and LockResource.
#include "firmware/FirmwareResource.h"

bool FirmwareResource::LoadFirmwareResource(WORD id, const char* type)
{
    release();

    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) return false;

    resourceSize = SizeofResource(nullptr, found);
    if (resourceSize == 0) return false;

    resourceHandle = LoadResource(nullptr, found);
    if (resourceHandle == nullptr) {
        resourceSize = 0;
        return false;
    }

    resourceData = static_cast<const char*>(LockResource(resourceHandle));
    if (resourceData == nullptr) {
        release();
        return false;
    }
    return true;
}

void FirmwareResource::release()
{
    if (resourceHandle != nullptr) {
        // A module's resources stay mapped for the module's life, so FreeResource
        // has nothing to report; its result is ignored.
        FreeResource(resourceHandle);
        resourceHandle = nullptr;
    }
    resourceData = nullptr;
    resourceSize = 0;
}
