#include "platform/named_object_folder.h"

namespace platform {

// Named objects live in the object manager: no folder, and nothing in one to block them.
std::string NamedObjectFolder() { return {}; }
std::string NamedObjectProblem() { return {}; }

}  // namespace platform
