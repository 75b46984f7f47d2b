#include "com/base_object.h"

#include "com/object_count.h"

CBaseObject::CBaseObject(const WCHAR* /*pName*/) { g_cActiveObjects.fetch_add(1); }

CBaseObject::~CBaseObject() { g_cActiveObjects.fetch_sub(1); }

LONG CBaseObject::ObjectsActive() { return g_cActiveObjects.load(); }
