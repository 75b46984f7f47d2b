// CScopedHandle<Traits>: owns one system handle (a kernel handle, a descriptor, a mapped
// segment) and closes it exactly once: when it is reset, assigned over or destroyed.
//
//   struct DescriptorTraits {
//     using Handle = int;
//     static int Invalid() noexcept { return -1; }
//     static bool IsValid(int fd) noexcept { return fd >= 0; }
//     static void Close(int fd) noexcept { ::close(fd); }
//   };
//   CScopedHandle<DescriptorTraits> file(::open(path, O_RDONLY));
//   if (!file.IsValid()) return false;
//   ::read(file.Get(), buffer, size);   // closed when file goes out of scope
//
// Traits gives the handle type (a plain value, or a small struct that also carries what
// closing needs), the value that holds nothing, the validity test and the closing
// operation, which must not throw. Ownership: move-only; a moved-from object holds
// nothing. Move assignment closes what the target held, after taking the source's handle,
// and self-assignment keeps the handle. Threading: one thread at a time per object.
#pragma once

#include <utility>

template <typename Traits>
class CScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  CScopedHandle() noexcept = default;
  explicit CScopedHandle(Handle handle) noexcept : m_handle(std::move(handle)) {}
  ~CScopedHandle() { Reset(); }
  CScopedHandle(CScopedHandle&& other) noexcept : m_handle(other.Release()) {}
  CScopedHandle& operator=(CScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;

  bool IsValid() const noexcept { return Traits::IsValid(m_handle); }
  // The handle, still owned by this object. The writable form is for handles that carry
  // bookkeeping next to the system's value; the system's value itself changes only
  // through Reset and Release.
  const Handle& Get() const noexcept { return m_handle; }
  Handle& Get() noexcept { return m_handle; }
  // Gives the handle up without closing it: the caller closes it.
  [[nodiscard]] Handle Release() noexcept { return std::exchange(m_handle, Traits::Invalid()); }
  // Takes handle and then closes the one held before (so re-taking the same system object
  // through a new handle never drops it in between).
  void Reset(Handle handle = Traits::Invalid()) noexcept {
    Handle previous = std::exchange(m_handle, std::move(handle));
    if (Traits::IsValid(previous)) Traits::Close(previous);
  }

 private:
  Handle m_handle = Traits::Invalid();
};
