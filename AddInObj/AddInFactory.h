#pragma once
// How the module's class factory makes an add-in object.
#include "platform/ole.h"

namespace axg {

// Creates a new AddInObject (with the outer object, if any, as its controlling
// unknown) and asks it for riid. *out receives the interface, or null when the
// object refuses it, in which case the object is already gone again. The
// factory has checked the aggregation rule and out before calling. May throw:
// the factory turns that into E_UNEXPECTED.
HRESULT CreateAddInObject(IUnknown* outer, REFIID riid, void** out);

}  // namespace axg
