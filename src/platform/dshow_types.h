// The one header that code above the platform layer includes for component objects and
// the media pipeline: status codes, structures, interfaces and identifiers, the task
// allocator, GUID text conversion and per-thread initialisation.
//
// On Windows everything is the SDK's (linked with ole32, oleaut32, strmiids, uuid);
// elsewhere the platform layer declares the same names with the same values, layouts and
// method orders. See com_types.h, dshow_interfaces.h, dshow_status.h, dshow_guids.h.
#pragma once

#include "platform/com_ids.h"
#include "platform/com_types.h"
#include "platform/dshow_guids.h"
#include "platform/dshow_interfaces.h"
#include "platform/dshow_status.h"
#include "platform/windows_types.h"
