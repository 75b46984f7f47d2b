// ReplaceFileContents: gives a file new contents so that a reader sees the old file or the
// new one, never part of one, and a crash never leaves a torn file.
//
//   if (const int error = platform::posix::ReplaceFileContents(path, text, 0644); error != 0)
//     Report(std::strerror(error));
//
// The bytes go to a new file beside path (same folder, so the rename stays on one file
// system) with the given permission bits, are flushed to the disk, and the new file is
// renamed over path; the folder is flushed afterwards so that the rename itself is kept.
// A path that is a symbolic link is replaced by the new file (callers that must keep the
// link resolve it first). Returns 0, or the errno of the step that failed; on failure the
// new file is removed and path is as it was. POSIX only; any thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::posix {

int ReplaceFileContents(const std::string& path, const std::string& bytes, mode_t mode);

}  // namespace platform::posix
