// The class that the test server module (test_server_module.cpp) serves.
#pragma once

#include "platform/windows_types.h"

namespace testing_support {

inline const CLSID kTestServerClass = {0x7B1C4E52, 0x2F0A, 0x4C39, {0x8E, 0x61, 0x3D, 0x95, 0xA0, 0x17, 0xC4, 0x2B}};

}  // namespace testing_support
