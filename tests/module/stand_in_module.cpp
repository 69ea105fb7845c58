// The object of the test module: the module's own entry points and factory
// (ax_gate/ax_gate.cpp) serve a Probe instead of an AddInObject.
#include "module/probe.h"

HRESULT CreateProbeObject(IUnknown* outer, REFIID riid, void** out) {
  return axgtest::CreateProbe(outer, riid, out);
}
