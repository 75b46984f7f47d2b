// Whether a named pipe is being served, asked without connecting to it: a connection
// would take one of the server's instances and make it see a client that never speaks.
//
// Windows only (the frame bridge's pipe exists only there). Threading: any thread, no
// state. Failure: anything the system answers other than "served" or "no such pipe"
// (a malformed name, an error it gives for other reasons) counts as not served, with the
// reason in *problem when problem is given; *problem is cleared otherwise.
#pragma once

#include <string>

namespace platform {

// name is the full pipe path, \\.\pipe\<name>. True while a server has created the pipe,
// also when every instance of it is busy.
bool PipeExists(const std::wstring& name, std::wstring* problem = nullptr);

}  // namespace platform
