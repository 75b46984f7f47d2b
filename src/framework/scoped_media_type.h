// CScopedMediaType: owns one media type record that the task allocator gave out (a
// CreateMediaType copy, or one a peer or a sample handed over through an AM_MEDIA_TYPE**
// out-parameter) and frees it, format block, pUnk and record, with DeleteMediaType when it
// goes out of scope.
//
//   CScopedMediaType current;
//   if (FAILED(config->GetFormat(current.Receive()))) return;   // adopts the record
//   UseWidth(current->...);
//   *ppmt = current.Detach();                                   // hands the record over
//
// Move-only: a move leaves the source empty; Reset and Receive free the held record first.
//
// Threading: none of its own; a holder is guarded by whoever owns it.
#pragma once

#include <utility>

#include "framework/media_type.h"

class CScopedMediaType {
 public:
  CScopedMediaType() noexcept = default;
  // Takes over `type`, which must come from the task allocator (or be null).
  explicit CScopedMediaType(AM_MEDIA_TYPE* type) noexcept : m_type(type) {}
  CScopedMediaType(CScopedMediaType&& other) noexcept : m_type(other.Detach()) {}
  CScopedMediaType& operator=(CScopedMediaType&& other) noexcept {
    Reset(other.Detach());
    return *this;
  }
  CScopedMediaType(const CScopedMediaType&) = delete;
  CScopedMediaType& operator=(const CScopedMediaType&) = delete;
  ~CScopedMediaType() { Reset(); }

  AM_MEDIA_TYPE* Get() const noexcept { return m_type; }
  AM_MEDIA_TYPE* operator->() const noexcept { return m_type; }
  explicit operator bool() const noexcept { return m_type != nullptr; }

  // Frees the held record (if any) and takes over `type`; the holder holds `type` before
  // the old record's pUnk is released.
  void Reset(AM_MEDIA_TYPE* type = nullptr) noexcept {
    AM_MEDIA_TYPE* old = std::exchange(m_type, type);
    if (old != type) DeleteMediaType(old);
  }
  // Empties the holder without freeing: the caller owns the record it returns.
  [[nodiscard]] AM_MEDIA_TYPE* Detach() noexcept { return std::exchange(m_type, nullptr); }
  // The address to pass as an AM_MEDIA_TYPE** out-parameter; the held record is freed first.
  AM_MEDIA_TYPE** Receive() noexcept {
    Reset();
    return &m_type;
  }

 private:
  AM_MEDIA_TYPE* m_type = nullptr;
};
