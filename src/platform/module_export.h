// AMBERLINE_EXPORT marks the module's entry points: C linkage, visible outside the
// module. On Windows the module-definition file exports them by name; elsewhere every
// other symbol of the module stays hidden.
#pragma once

#ifdef _WIN32
#define AMBERLINE_EXPORT extern "C"
#define AMBERLINE_STDAPI_CALL __stdcall
#else
#define AMBERLINE_EXPORT extern "C" __attribute__((visibility("default")))
#define AMBERLINE_STDAPI_CALL
#endif
