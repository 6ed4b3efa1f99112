// The pieces of a COM-like component: the reference count root, the class-object mix-in and
// CComObject<T>, the concrete class that implements IUnknown for T.
#pragma once

#include <atomic>
#include <new>

#include "os/ComBase.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"

class CComSingleThreadModel {};

// The reference count is atomic so references may be released on any thread; m_critsec is
// there for derived classes and taken by no operation here.
template <class ThreadModel>
class CComObjectRootEx {
 public:
  CComObjectRootEx() = default;
  CComObjectRootEx(const CComObjectRootEx&) = delete;
  CComObjectRootEx& operator=(const CComObjectRootEx&) = delete;

  ULONG InternalAddRef() { return static_cast<ULONG>(m_dwRef.fetch_add(1) + 1); }
  ULONG InternalRelease() { return static_cast<ULONG>(m_dwRef.fetch_sub(1) - 1); }

 protected:
  std::atomic<LONG> m_dwRef{0};
  COsUserLock m_critsec;
};

template <class T, const CLSID* pclsid>
class CComCoClass {
 public:
  static const CLSID& GetObjectCLSID() { return *pclsid; }
};

// T provides InternalQueryInterface(riid) -> interface pointer or null.
template <class T>
class CComObject final : public T {
 public:
  // A new object with the count 0, or null when it cannot be allocated.
  static CComObject* CreateInstance() { return new (std::nothrow) CComObject; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = this->InternalQueryInterface(riid);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return this->InternalAddRef(); }
  ULONG Release() override {
    const ULONG n = this->InternalRelease();
    if (n == 0) delete this;
    return n;
  }

 private:
  CComObject() = default;
  ~CComObject() = default;
};
