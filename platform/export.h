#pragma once
// Symbols of the shared platform library. On Linux the module and the host that
// loads it link the same libax_gate_platform.so, so both see one message loop per
// thread and one BSTR allocator; on Windows the platform is linked statically.
#if defined(_WIN32)
#define AXG_PLATFORM_API
#else
#define AXG_PLATFORM_API __attribute__((visibility("default")))
#endif
