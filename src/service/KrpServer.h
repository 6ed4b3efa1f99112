// CKrpServer: the router-side KRP server of the viewer command set. This program serves its
// viewer over TCP only, so the object is an empty stand-in that refuses to start.
#pragma once

#include <atomic>

#include "viewer/VxKrpItf.h"

// Reference-counted (starts at 1; the last Release deletes it). Thread-safe.
class CKrpServer : public IVxKrpServerInternal {
 public:
  CKrpServer() = default;
  CKrpServer(const CKrpServer&) = delete;
  CKrpServer& operator=(const CKrpServer&) = delete;

  // Answers only IID_IVxKrpServerInternal.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // E_FAIL: there is nothing to serve.
  HRESULT ConnectAs(LONG krpPort, IVxKrpSync* syncHandler, IVxKrpAsync* asyncHandler,
                    IVxKrpAsyncRes** resultInterface, void* reserved1, void* reserved2) override;
  // E_NOTIMPL.
  HRESULT GetAddr(NmxAddr* addr) override;

 protected:
  virtual ~CKrpServer();

 private:
  IVxKrpServerInternal* m_pServer = nullptr;  // never set; released if it were
  std::atomic<LONG> m_cRef{1};
};
