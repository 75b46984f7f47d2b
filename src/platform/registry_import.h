// ImportRegistryText: merges the registry editor's export text for one predefined root
// (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT) into the registry, as
// importing a .reg file does: keys created, values set. Deletions written in the text
// ("[-key]", "name"=-) apply within the text only.
//
// The text is untrusted and parsed with the same limits as a hive file. Returns
// ERROR_SUCCESS; ERROR_BADDB when the text is not clean (a wrong header, a malformed
// line, a section of another root), and nothing is written then; or the first error of
// a registry write (what came before it stays written).
#pragma once

#include <string>

#include "platform/windows_types.h"

namespace platform {

LONG ImportRegistryText(HKEY root, const std::string& text);

}  // namespace platform
