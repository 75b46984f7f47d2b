// CChannelNamespace: gives this process's channel objects private names for one test
// (AMBERLINE_CHANNEL_NAMESPACE), so that tests never meet each other's or a real
// producer's region. Child processes started while it lives get the same names when
// they are given Environment().
#pragma once

#include <string>

#include "platform/guid.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace testing_support {

class CChannelNamespace {
 public:
  CChannelNamespace() {
    GUID guid{};
    platform::CreateGuid(&guid);
    std::wstring text = platform::GuidToRegistryString(guid);
    m_value = L"AmberlineTest" + text.substr(1, 36) + L"_";
    m_environment.Set(L"AMBERLINE_CHANNEL_NAMESPACE", m_value);
  }
  CChildProcess::Environment Environment() const {
    return {{"AMBERLINE_CHANNEL_NAMESPACE", platform::WideToUtf8(m_value)}};
  }
  const std::wstring& Value() const { return m_value; }

 private:
  std::wstring m_value;
  CScopedEnvironment m_environment;
};

}  // namespace testing_support
