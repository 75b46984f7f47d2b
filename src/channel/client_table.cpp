#include "channel/client_table.h"

#include <cstring>

#include "platform/wide_string.h"

using channel::ClientEntry;

namespace {

std::size_t StoredNameLength(const char16_t (&name)[channel::kClientNameUnits]) {
  std::size_t n = 0;
  while (n < channel::kClientNameUnits && name[n] != 0) ++n;
  return n;
}

bool NameEquals(const char16_t (&stored)[channel::kClientNameUnits], const std::u16string& name) {
  const std::size_t n = StoredNameLength(stored);
  return n == name.size() && std::memcmp(stored, name.data(), n * sizeof(char16_t)) == 0;
}

void Clear(ClientEntry& entry) {
  entry.InUse = 0;
  entry.Width = 0;
  entry.Height = 0;
}

}  // namespace

void CClientTable::Step(std::int32_t& count, int delta) {
  count = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + static_cast<std::uint32_t>(delta));
}

void CClientTable::Register(bool connect, const std::u16string& fullName, std::int32_t width, std::int32_t height,
                            std::uint32_t nowMs) {
  const std::u16string name = fullName.substr(0, channel::kClientNameUnits - 1);
  ClientEntry* found = nullptr;
  for (ClientEntry& entry : m_header->Clients) {
    if (entry.InUse != 0 && NameEquals(entry.Name, name)) {
      found = &entry;
      break;
    }
  }
  if (connect && found == nullptr) {
    for (ClientEntry& entry : m_header->Clients) {
      if (entry.InUse != 0) continue;
      Step(m_header->ClientCount, 1);
      entry.InUse = 1;
      std::memset(entry.Name, 0, sizeof entry.Name);
      std::memcpy(entry.Name, name.data(), name.size() * sizeof(char16_t));
      entry.Width = width;
      entry.Height = height;
      entry.LastSeen = nowMs;
      return;
    }
  } else if (!connect && found != nullptr) {
    Clear(*found);
    Step(m_header->ClientCount, -1);
  }
}

bool CClientTable::Touch(const std::u16string& name, std::uint32_t nowMs) {
  for (ClientEntry& entry : m_header->Clients) {
    if (entry.InUse != 0 && NameEquals(entry.Name, name)) {
      entry.LastSeen = nowMs;
      return true;
    }
  }
  return false;
}

int CClientTable::WithdrawNotSeenFor(std::uint32_t limitMs, std::uint32_t nowMs) {
  int withdrawn = 0;
  for (ClientEntry& entry : m_header->Clients) {
    if (entry.InUse == 0 || nowMs - entry.LastSeen <= limitMs) continue;
    Clear(entry);
    Step(m_header->ClientCount, -1);
    ++withdrawn;
  }
  return withdrawn;
}

std::int32_t CClientTable::Recount() {
  std::int32_t occupied = 0;
  for (const ClientEntry& entry : m_header->Clients)
    if (entry.InUse != 0) ++occupied;
  const std::int32_t counted = m_header->ClientCount;
  if (counted != occupied) m_header->ClientCount = occupied;
  return counted;
}

void CClientTable::CopyOccupied(const channel::RegionHeader* header, std::vector<ClientEntry>* clients) {
  for (const ClientEntry& entry : header->Clients)
    if (entry.InUse != 0) clients->push_back(entry);
}

std::wstring CClientTable::NameOf(const ClientEntry& entry) {
  return platform::Utf16ToWide(entry.Name, StoredNameLength(entry.Name));
}
