#include "module/server_entry.h"

#include <gtest/gtest.h>

#include "com/object_count.h"
#include "identity/camera_identity.h"
#include "platform/com_ids.h"

namespace {

TEST(ServerEntryTest, AnInterfaceOtherThanUnknownOrClassFactoryIsRefusedBeforeTheClassIsLookedAt) {
  const IID other = {0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(GetClassObject(CLSID_Amberline, other, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
}

TEST(ServerEntryTest, NoClassHasAFactoryYetAndANullOutPointerIsRefused) {
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(GetClassObject(CLSID_Amberline, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(GetClassObject(IID_IUnknown, IID_IUnknown, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(GetClassObject(CLSID_Amberline, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(ServerEntryTest, ModuleMayUnloadOnlyWhenNoObjectLivesAndTheServerIsNotLocked) {
  EXPECT_EQ(CanUnloadNow(), S_OK);
  ++g_cServerLocks;
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  --g_cServerLocks;
  ++g_cActiveObjects;
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  --g_cActiveObjects;
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

}  // namespace
