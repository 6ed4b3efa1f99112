// CKrpComm: the viewer command set. Serves the KRP requests of the remote viewer against the
// capture engine (through the service's IViewerEngine): capture control and settings (index group
// 0x1000), the frames of a view (0x1500, read on request or pushed by notification threads) and the
// traffic filters (0x2000). It owns the viewer TCP server that calls it.
#pragma once

#include <atomic>
#include <string>

#include "capture/CaptureSettings.h"
#include "capture/CaptureView.h"
#include "nmx/NmxTypes.h"
#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"
#include "service/KrpHashTable.h"
#include "viewer/KrpCommFormat.h"
#include "viewer/VxKrpItf.h"

class CViewerService;
class IViewerEngine;
class CViewerTcpServer;

struct NotificationTableKey_ {
  DWORD hNote;
  DWORD Hash() const { return hNote; }
  bool operator==(const NotificationTableKey_& o) const { return hNote == o.hNote; }
};

struct TNotificationTableVal_ {
  OS_USER_EVENT_HANDLE hStopEvent;
  OS_USER_THREAD_HANDLE hThread;
  OS_USER_THREAD_ID dwThreadId;
};

typedef CHashTable<NotificationTableKey_, TNotificationTableVal_, 100> TNotificationTable;

// Ownership: created, connected and deleted by the viewer service, which must outlive it, as
// must its engine; AddRef and Release count nothing. Owns the TCP server (and through it the
// viewer's connection), the notification threads and the files the viewer opened, which are closed
// when its connection ends.
//
// Threads: requests arrive on the connection's receiver thread, connection events on the
// server's listener thread, and each notification has a thread of its own; the service's
// thread constructs, connects, retires and deletes. Read, Write and ReadWrite run entirely
// under m_csCrit. Views are touched only under the service's ViewLock(), which also serialises
// a request and a notification thread reading the same view; nothing here waits for a thread
// while holding that lock. Deleting a notification waits until its thread has ended. Lock
// order: m_csCrit, then the engine's control lock and the service's lock (a request that
// loads a settings document), then the view lock.
//
// Must not be deleted on its own connection's receiver or listener thread, nor while holding
// a lock of the engine or the service that a request may need: the destructor waits for those
// threads.
class CKrpComm : public IVxKrpSync, public IVxKrpComm {
 public:
  // pService: the viewer service, and through it the engine. bIsTcpIpServer is not used. nPort: the
  // TCP port to listen on (0 for an ephemeral one); szAddress: the dotted IPv4 address to listen
  // on, null or empty for every address.
  CKrpComm(CViewerService* pService, bool bIsTcpIpServer, LONG nPort,
           const char* szAddress = nullptr);
  ~CKrpComm() override;
  CKrpComm(const CKrpComm&) = delete;
  CKrpComm& operator=(const CKrpComm&) = delete;

  // Opens the listener: 0, or the TCP server's code (a socket code such as 10048, positive).
  HRESULT Connect();
  // Does nothing; the listener closes when the object is deleted.
  HRESULT Disconnect();
  // The TCP port listened on; 0 when not listening.
  WORD GetListenPort();

  // The service has replaced this handler: from now on it refuses every request and leaves
  // the service's views and viewer state alone. Call under the service's ViewLock() or without
  // any lock; it takes only that lock and never waits.
  void Retire();
  bool IsRetired() const { return m_bRetired.load(); }
  // A request of the viewer is being handled or answered. Any thread.
  bool IsServingRequest();

  // IUnknown: IID_IVxKrpSync gives the object itself.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IVxKrpSync. Results are 0 or 0x9811xxxx with the KRP code the viewer gets.
  HRESULT Write(DWORD indexGroup, DWORD indexOffset, DWORD length, const void* data) override;
  HRESULT Read(DWORD indexGroup, DWORD indexOffset, DWORD length, void* data) override;
  HRESULT ReadEx(DWORD indexGroup, DWORD indexOffset, DWORD length, void* data,
                 DWORD* bytesRead) override;
  HRESULT ReadWrite(DWORD indexGroup, DWORD indexOffset, DWORD readLength, void* readData,
                    DWORD writeLength, const void* writeData, DWORD* bytesRead) override;
  HRESULT WriteControl(DWORD krpState, DWORD deviceState, DWORD length, const void* data) override;
  HRESULT ReadDeviceInfo(char* name, KrpVersion* version) override;
  HRESULT ReadState(DWORD* krpState, DWORD* deviceState, DWORD* length, void** data) override;
  HRESULT AddDeviceNotification(DWORD indexGroup, DWORD indexOffset, KrpNotificationAttrib* attrib,
                                DWORD user, DWORD* handle) override;
  HRESULT DelDeviceNotification(DWORD handle) override;
  HRESULT DeviceNotification(const NmxAddr* sender, DWORD length, const void* stream) override;

  // IVxKrpComm
  HRESULT OnDisconnected() override;
  HRESULT OnNewConnection() override;

 private:
  // The parameter block of one notification thread, owned by the thread.
  struct TViewNoteParam {
    CKrpComm* pThis;
    CCaptureView* pView;
    DWORD hView;
    DWORD cbLength;    // room for the capture packet
    DWORD nCycleTime;  // 100 ns units
    OS_USER_EVENT_HANDLE hStopEvent;
    DWORD hNote;
    NmxAddr addr;
    BYTE* pStream;  // the notification stream: 24 bytes of headers, then cbLength bytes
  };

  // One request at a time: each runs under m_csCrit.
  HRESULT WriteCapture(DWORD indexOffset, DWORD length, const BYTE* data) REQUIRES(m_csCrit);
  HRESULT WriteFilter(DWORD indexOffset, DWORD length, const BYTE* data) REQUIRES(m_csCrit);
  HRESULT ReadCapture(DWORD indexOffset, DWORD length, BYTE* data, DWORD* bytesRead)
      REQUIRES(m_csCrit);
  HRESULT ReadView(DWORD hView, DWORD length, BYTE* data, DWORD* bytesRead) REQUIRES(m_csCrit);
  HRESULT ReadFilter(DWORD indexOffset, DWORD length, BYTE* data, DWORD* bytesRead)
      REQUIRES(m_csCrit);
  HRESULT CreateView(DWORD length, BYTE* data, DWORD* bytesRead) REQUIRES(m_csCrit);
  HRESULT CloseView(DWORD hView) REQUIRES(m_csCrit);
  HRESULT OpenFile(DWORD readLength, BYTE* readData, DWORD writeLength, const BYTE* writeData,
                   DWORD* bytesRead) REQUIRES(m_csCrit);
  HRESULT ReadFile(DWORD readLength, BYTE* readData, DWORD writeLength, const BYTE* writeData,
                   DWORD* bytesRead) REQUIRES(m_csCrit);
  HRESULT CloseFile(DWORD length, const BYTE* data) REQUIRES(m_csCrit);
  void CloseAllFiles() REQUIRES(m_csCrit);
  // A capture setting the capture must not change while it runs, asked while it runs.
  bool RefusedWhileCapturing(CaptureSettingId id);
  // A viewer's value for one capture setting, within the setting's bounds (else the KRP
  // size error).
  HRESULT WriteSetting(CaptureSettingId id, ULONGLONG value);
  HRESULT WriteSetting(CaptureSettingId id, const std::string& text);
  // Saves the stopped capture as name, a path the viewer gave relative to the boot folder.
  HRESULT SaveAs(const std::string& name) REQUIRES(m_csCrit);
  // A start that loads the settings document at path first.
  HRESULT StartWithSettings(const std::string& path) REQUIRES(m_csCrit);

  // The notification handle of view hView, 0 when it has none or does not exist.
  DWORD NotificationOfView(DWORD hView);
  void DeleteAllNotifications();
  static void StopNotificationThread(const TNotificationTableVal_& val);
  static DWORD NotificationThread(LPVOID pParam);
  void RunNotification(TViewNoteParam& n);
  // The next packet of the notification's view into its stream; S_FALSE when there is none.
  HRESULT ReadNotificationPacket(TViewNoteParam& n);

  CViewerTcpServer* m_pTcpKrpServer;
  IVxKrpServerInternal* m_pKrpServer;
  IVxKrpAsyncRes* m_pAsyncRes = nullptr;
  CViewerService* m_pService;
  IViewerEngine& m_engine;
  DWORD m_hNote GUARDED_BY(m_csCrit) = 0;
  TNotificationTable m_noteTable;  // locked by itself
  // The files the viewer opened, by slot; -1 for an empty slot.
  int m_fdOpenFile[KRPCOMM_FILE_SLOTS] GUARDED_BY(m_csCrit);
  COsUserLock m_csCrit;
  std::atomic<bool> m_bRetired{false};
};
