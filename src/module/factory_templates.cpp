#include "module/factory_templates.h"

// The create function is attached when the camera filter exists; until then the class
// factory has nothing to create.
CFactoryTemplate g_Templates[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);
