// The module's table of creatable classes: one entry, the camera filter. Its name and
// class identifier are filled in at start-up from the camera identity.
#pragma once

#include "com/factory_template.h"

extern CFactoryTemplate g_Templates[];
extern const int g_cTemplates;
