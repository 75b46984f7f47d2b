#include "com/class_factory.h"

#include <gtest/gtest.h>

#include "com/object_count.h"
#include "com/unknown.h"
#include "platform/com_ids.h"
#include "platform/dshow_types.h"

namespace {

int g_destroyed = 0;
HRESULT g_constructionResult = S_OK;
bool g_createNothing = false;

class CCreated : public CUnknown {
 public:
  explicit CCreated(IUnknown* outer) : CUnknown(L"created", outer) {}
  ~CCreated() override { ++g_destroyed; }
};

CUnknown* WINAPI CreateCreated(IUnknown* outer, HRESULT* phr) {
  if (g_createNothing) {
    *phr = g_constructionResult;
    return nullptr;
  }
  *phr = g_constructionResult;
  return new CCreated(outer);
}

const CLSID kClass = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
const CFactoryTemplate kTemplate = {L"created", &kClass, CreateCreated, nullptr, nullptr};

class ClassFactoryTest : public testing::Test {
 protected:
  ClassFactoryTest() {
    g_destroyed = 0;
    g_constructionResult = S_OK;
    g_createNothing = false;
    m_factory->AddRef();
  }
  ~ClassFactoryTest() override { m_factory->Release(); }
  CClassFactory* m_factory = new CClassFactory(&kTemplate);
};

TEST_F(ClassFactoryTest, CreatesTheObjectWithItsFirstReference) {
  IUnknown* object = nullptr;
  ASSERT_EQ(m_factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ClassFactoryTest, AFailedQueryOrConstructionLeavesNoObjectBehind) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(g_destroyed, 1) << "the query's failure destroyed the new object";

  g_constructionResult = E_ACCESSDENIED;
  EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_IUnknown, &object), E_ACCESSDENIED);
  EXPECT_EQ(g_destroyed, 2);

  g_createNothing = true;
  EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_IUnknown, &object), E_ACCESSDENIED);
  g_constructionResult = S_OK;
  EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_IUnknown, &object), E_OUTOFMEMORY)
      << "no object without a failure is still a failure";
  EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ClassFactoryTest, AggregationGivesTheInnerUnknownOnly) {
  IUnknown* inner = nullptr;
  IUnknown* outer = m_factory;
  EXPECT_EQ(m_factory->CreateInstance(outer, IID_IClassFactory, reinterpret_cast<void**>(&inner)), E_NOINTERFACE);
  EXPECT_EQ(g_destroyed, 0) << "refused before anything was created";
  ASSERT_EQ(m_factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ClassFactoryTest, LockingTheServerIsCountedAndAnswersOnlyItsOwnInterfaces) {
  const LONG locks = g_cServerLocks.load();
  EXPECT_EQ(m_factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(g_cServerLocks.load(), locks + 1);
  EXPECT_EQ(m_factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(g_cServerLocks.load(), locks);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(m_factory->QueryInterface(IID_IPersist, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(m_factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
}

}  // namespace
