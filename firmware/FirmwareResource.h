// One firmware image held as a locked resource of the program's own module. The
// controller owns one of these; the engine only points into the text while sending.
#pragma once

#include <windows.h>

#include <cstdint>

class FirmwareResource {
public:
    FirmwareResource() = default;
    ~FirmwareResource() { release(); }
    FirmwareResource(const FirmwareResource&) = delete;
    FirmwareResource& operator=(const FirmwareResource&) = delete;

    // Releases the image held, then finds, loads and locks the custom resource `id`
    // of type `type`. On false all three fields are cleared.
    bool LoadFirmwareResource(WORD id, const char* type);
    // Frees the image held, if any, and clears all three fields.
    void release();

    // Window thread only.
    HGLOBAL resourceHandle = nullptr;   // null when none
    const char* resourceData = nullptr; // the locked image text; null when none
    uint32_t resourceSize = 0;          // bytes of resourceData; 0 when none
};
