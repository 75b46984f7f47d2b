// Standard input as a byte stream: on Windows the C runtime opens it in text mode, where
// CR LF pairs are merged and a byte 0x1A ends the stream, which would corrupt any binary
// input piped in. UseBinaryStandardInput switches it to binary mode (on Linux it is
// always binary, and the call does nothing). Call it before the first read.
#pragma once

namespace platform {

void UseBinaryStandardInput();

}  // namespace platform
