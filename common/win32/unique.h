#pragma once

#include <windows.h>

#include <utility>

namespace qm {

// Owns a resource of the kind Traits describes and releases it exactly once.
template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type r) : r_(r) {}
  UniqueResource(UniqueResource&& o) noexcept : r_(std::exchange(o.r_, Traits::Empty())) {}
  UniqueResource& operator=(UniqueResource&& o) noexcept {
    if (this != &o) reset(std::exchange(o.r_, Traits::Empty()));
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  Type get() const { return r_; }
  explicit operator bool() const { return Traits::Valid(r_); }
  void reset(Type r = Traits::Empty()) {
    if (Traits::Valid(r_)) Traits::Release(r_);
    r_ = r;
  }

 private:
  Type r_ = Traits::Empty();
};

// A kernel handle; CreateFile fails with INVALID_HANDLE_VALUE, other calls with null.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static bool Valid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Release(Type h) { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// A loaded module.
struct ModuleTraits {
  using Type = HMODULE;
  static Type Empty() { return nullptr; }
  static bool Valid(Type m) { return m != nullptr; }
  static void Release(Type m) { ::FreeLibrary(m); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

// A GDI object: font, bitmap, brush.
template <typename T>
struct GdiObjectTraits {
  using Type = T;
  static Type Empty() { return nullptr; }
  static bool Valid(Type obj) { return obj != nullptr; }
  static void Release(Type obj) { ::DeleteObject(obj); }
};
template <typename T>
using UniqueGdi = UniqueResource<GdiObjectTraits<T>>;

// A memory device context (CreateCompatibleDC).
struct MemoryDcTraits {
  using Type = HDC;
  static Type Empty() { return nullptr; }
  static bool Valid(Type dc) { return dc != nullptr; }
  static void Release(Type dc) { ::DeleteDC(dc); }
};
using UniqueMemoryDc = UniqueResource<MemoryDcTraits>;

// A menu that no window owns (CreatePopupMenu).
struct MenuTraits {
  using Type = HMENU;
  static Type Empty() { return nullptr; }
  static bool Valid(Type menu) { return menu != nullptr; }
  static void Release(Type menu) { ::DestroyMenu(menu); }
};
using UniqueMenu = UniqueResource<MenuTraits>;

// Selects a GDI object into a device context for the life of a scope.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ obj) : dc_(dc), old_(::SelectObject(dc, obj)) {}
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;
  ~SelectedObject() { ::SelectObject(dc_, old_); }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

}  // namespace qm
