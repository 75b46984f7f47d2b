#include "runtime/runtime_object.h"

ULONG CRuntimeObject::AddRefObject() { return m_cRef.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG CRuntimeObject::ReleaseObject() {
  const ULONG left = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left != 0) return left;
  // Parked at 1 for the destructor's lifetime: transient references taken while it runs
  // go back to 1 again, never to 0.
  m_cRef.store(1, std::memory_order_relaxed);
  delete this;
  return 0;
}
