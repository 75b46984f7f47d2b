// Identifiers of the component-object base interfaces the module's entry points answer
// to. On Windows they come from the SDK; elsewhere they are declared here with their
// published values.
#pragma once

#include "platform/windows_types.h"

#ifdef _WIN32
#include <unknwn.h>
#else
extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;
#endif
