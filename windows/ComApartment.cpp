// ComApartment: CoInitializeEx when made, CoUninitialize when gone.
#include "windows/ComApartment.h"

#include <objbase.h>

// S_FALSE (already joined) is undone as S_OK is; RPC_E_CHANGED_MODE is not.
ComApartment::ComApartment()
    : entered(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}

ComApartment::~ComApartment() {
    // Drops the references other processes still hold on this apartment's objects (a screen
    // reader's hold on a NamedAccessible); references held within this process are not touched.
    if (entered) CoUninitialize();
}
