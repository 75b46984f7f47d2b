#include "platform/guid.h"

namespace platform {

HRESULT CreateGuid(GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  return ::CoCreateGuid(guid);
}

}  // namespace platform
