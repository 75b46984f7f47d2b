#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/binary_stdin.h"

namespace platform {

void UseBinaryStandardInput() { _setmode(_fileno(stdin), _O_BINARY); }

}  // namespace platform
