#include "service/KrpServer.h"

CKrpServer::~CKrpServer() {
  if (m_pServer) m_pServer->Release();
}

HRESULT CKrpServer::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IVxKrpServerInternal) {
    *ppv = static_cast<IVxKrpServerInternal*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CKrpServer::AddRef() {
  return static_cast<ULONG>(++m_cRef);
}

ULONG CKrpServer::Release() {
  const LONG n = --m_cRef;
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

HRESULT CKrpServer::ConnectAs(LONG, IVxKrpSync*, IVxKrpAsync*, IVxKrpAsyncRes**, void*, void*) {
  return E_FAIL;
}

HRESULT CKrpServer::GetAddr(NmxAddr*) {
  return E_NOTIMPL;
}
