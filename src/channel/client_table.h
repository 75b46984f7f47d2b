// CClientTable: the consumers' table inside the region header (ClientCount and the
// Clients entries of frame_region.h), read and changed in place. The table belongs to
// the region, so this class owns nothing: every operation works on the header it is
// handed, and the caller holds the access mutex for the whole call (one header
// transaction of CFileMapping).
//
// Every field is untrusted: names are read within their 64 units, and ClientCount is
// stepped without signed overflow whatever value a peer left in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channel/frame_region.h"

class CClientTable {
 public:
  explicit CClientTable(channel::RegionHeader* header) : m_header(header) {}

  // Adds an entry for name (its first kClientNameUnits - 1 units) unless one is there,
  // or (connect false) withdraws the entry that has that name. A full table adds nothing.
  void Register(bool connect, const std::u16string& name, std::int32_t width, std::int32_t height,
                std::uint32_t nowMs);

  // The first occupied entry named name gets LastSeen = nowMs; false when there is none.
  bool Touch(const std::u16string& name, std::uint32_t nowMs);

  // Withdraws every entry last seen more than limitMs before nowMs (32-bit tick
  // arithmetic, so a tick count that wrapped in between is measured correctly); returns
  // how many went.
  int WithdrawNotSeenFor(std::uint32_t limitMs, std::uint32_t nowMs);

  // Sets ClientCount to the number of occupied entries; returns the count it held before.
  std::int32_t Recount();

  // Appends a copy of every occupied entry of header's table.
  static void CopyOccupied(const channel::RegionHeader* header, std::vector<channel::ClientEntry>* clients);

  // An entry's name as text, read up to its terminator and never past the field.
  static std::wstring NameOf(const channel::ClientEntry& entry);

  // Steps a count kept in the region by delta without signed overflow.
  static void Step(std::int32_t& count, int delta);

 private:
  channel::RegionHeader* m_header;
};
