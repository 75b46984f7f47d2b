// OpenOrCreateLabelled: how every named object of the channel comes to be. The object is
// opened when it exists (whoever made it); otherwise create(object, created) makes it and the
// creator labels it so that low-integrity hosts may open it too. Whether the object is
// open afterwards is the object's IsOpen(); the caller logs and fails on its own terms.
//
//   OpenOrCreateLabelled(m_hAccessMutex, name, platform::KernelObjectKind::kMutex,
//                        [&](CNamedMutex& mutex, bool* created) { mutex.Create(name, created); });
#pragma once

#include <string>

#include "platform/named_sync.h"
#include "platform/object_access.h"
#include "platform/windows_types.h"

namespace channel {

template <class Object, class Create>
void OpenOrCreateLabelled(Object& object, const std::wstring& name, platform::KernelObjectKind kind,
                          Create&& create) {
  if (object.Open(name) == ERROR_SUCCESS) return;
  bool created = false;
  create(object, &created);
  platform::ApplyLowIntegrityLabel(name, kind);
}

}  // namespace channel
