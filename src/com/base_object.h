// CBaseObject: the root of every framework object that keeps the module loaded.
//
// Construction adds one to the module-wide count of live objects (g_cActiveObjects),
// destruction takes it away again; the module may unload only while ObjectsActive() is 0
// (see server_entry.h). Filters, pins, allocators and class factories are counted;
// samples and enumerators are not built on this class and are not counted.
// The count changes atomically: objects may be made and destroyed on any thread.
// An object keeps no data of its own; the name given is for the reader of the code only.
#pragma once

#include "platform/windows_types.h"

class CBaseObject {
 public:
  explicit CBaseObject(const WCHAR* pName);
  virtual ~CBaseObject();
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;

  // The number of live objects of the module.
  static LONG ObjectsActive();
};
