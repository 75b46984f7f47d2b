#include "platform/binary_stdin.h"

namespace platform {

void UseBinaryStandardInput() {}

}  // namespace platform
