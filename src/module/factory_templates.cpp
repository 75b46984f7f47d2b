#include "module/factory_templates.h"

#include "filter/video_src_filter.h"

// Name and class identifier are filled in at start-up from the camera identity.
CFactoryTemplate g_Templates[] = {
    {nullptr, nullptr, CVideoSrcFilter::CreateInstance, nullptr, nullptr},
};

const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);
