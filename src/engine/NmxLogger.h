// CNmxLogger: the capture engine. Turns received NMX commands into time-stamped frame records,
// queues them without allocation beyond the frame itself, and hands them to the capture
// manager on a writer thread. Around that it owns the capture settings, the traffic filters,
// the settings document, the one read view of a viewer and the viewer service.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "capture/CaptureMngt.h"
#include "capture/CaptureView.h"
#include "engine/FrameArena.h"
#include "engine/FrameList.h"
#include "engine/VxNmxLoggerItf.h"
#include "nmx/NmxFilter.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"
#include "os/VxString.h"

// The viewer command handler (viewer/KrpComm.h), created by Connect.
class CKrpComm;
namespace pugi {
class xml_node;
}

constexpr LONG NMX_LOGGER_DEFAULT_PORT = 48914;
constexpr LONG NMX_LOGGER_CYCLE_MS = 25;
// The writer does not wait for its cycle to end once this much waits in the queue: 1250 frames,
// or an eighth of the frame arena.
constexpr UINT NMX_WRITER_WAKE_FRAMES = 1250;
constexpr size_t NMX_WRITER_WAKE_BYTES = CFrameArena::kSize / 8;

// Threads:
// - OnNmxReceive is the feeder's (a router port's receive thread): one copy under one short
//   lock (m_csFrameList) into memory reserved ahead (the frame arena), and no file work. It
//   may run on any thread and concurrently with everything else.
// - The writer thread, one per run, takes the whole queue every 25 ms, sooner when the queue
//   passes its high-water mark, at once when stopping, and writes it; it stops the engine
//   itself when a single capture file is full.
// - Start, Stop, settings, filters and views may be called from any thread; Start, Stop and
//   everything refused while capturing are serialised by m_csControl.
// Lock order: m_csControl, then the filter's lock or m_csView, then the capture manager's
// locks; m_csFrameList is taken alone.
//
// The callback's OnStop may come from the writer thread (self-stop). Stop never waits for a
// self-stop in progress, but Start and the destructor do: a host must not hold a lock that its
// OnStop takes while it calls them.
//
// The viewer service runs requests on its own threads, which call Start, Stop and settings
// here: Disconnect and the destructor wait for those threads, so a host must not call them
// while holding a lock that its OnStart or OnStop takes.
class CNmxLogger {
 public:
  // pCallback may be null; it is not referenced and must outlive the engine.
  explicit CNmxLogger(IVxNmxLoggerCallback* pCallback);
  virtual ~CNmxLogger();
  CNmxLogger(const CNmxLogger&) = delete;
  CNmxLogger& operator=(const CNmxLogger&) = delete;

  // False when already started or when the capture manager fails to start.
  virtual bool Start();
  // False when not started. The frames queued before the stop are written first; only frames
  // that arrive once the stop has begun are refused.
  virtual bool Stop();
  // Null here; the router port's node address in an engine with its own port.
  virtual const NmxNetId* GetLocalNetId();
  bool IsStarted() const { return m_bStarted.load(std::memory_order_acquire); }

  // Queues a frame built from cmd (32 + cmd->head.cbData readable bytes, not kept) while
  // capturing; a frame that finds the queue full (NMX_FRAME_QUEUE_BYTES of records) is
  // dropped and counted.
  void OnNmxReceive(const NmxCmd* cmd);
  // Frames lost since the last Start: dropped on a full queue, not stored by the capture
  // manager (a full single file, a failed write), or still queued when the capture stopped
  // itself on a full file.
  ULONGLONG GetDroppedFrames() const {
    return m_nDroppedFrames.load(std::memory_order_relaxed) + m_pCaptureMngt->GetFramesNotStored();
  }
  // The first failed write to disk of the current (or last) capture, once: true the first
  // time it is asked after the write failed, false before and after that. Each Start begins
  // afresh.
  bool TakeWriteError(HRESULT& hr);
  // Why the last Start failed: the capture manager's result (0x80070000 + the system's error
  // number where a file or folder was refused) or the engine's own; S_OK when it did not fail.
  HRESULT GetStartError() const { return m_hrStartError.load(); }
  // Frames the ring gave up since the last Start to make room; 0 for a single file.
  ULONGLONG GetRingDroppedFrames();
  // The next line the operator must hear about the capture's files (see
  // CCaptureMngt::TakeNotice); false when there is none.
  bool TakeNotice(CString& text) { return m_pCaptureMngt->TakeNotice(text); }

  // True: the filters drop the command.
  bool FilterNmxCmd(const NmxCmd* cmd) { return m_filter.FilterNmxCmd(cmd); }
  // Applies a settings document (text, or with isFile the path of a file); false while
  // capturing (also while a self-stop is finishing), for a document that does not parse,
  // without root or without "CaptureInfo".
  // May throw what the XML parser throws.
  bool LoadXmlSettings(const char* textOrPath, bool isFile);

  // Viewer service. Connect opens the listener on the connection port: 0, or the code of the
  // failure (a socket code such as 10048 as a positive value, E_OUTOFMEMORY). Disconnect
  // closes the listener and the viewer's connection and waits for their threads.
  HRESULT Connect();
  HRESULT Disconnect();
  // The TCP port the viewer service listens on (useful with connection port 0); 0 when it is
  // not enabled.
  WORD GetViewerListenPort() const { return m_nListenPort.load(); }
  bool IsConnected() const { return m_bConnected.load(); }
  LONG GetConnectionPort() const { return m_nPort.load(); }
  void SetConnectionPort(LONG nPort) { m_nPort = nPort; }
  // The local IPv4 address (dotted) the viewer service listens on; empty: every address. A
  // change takes effect when the service is enabled next.
  CString GetConnectionAddress();
  void SetConnectionAddress(const char* szAddress);
  void OnViewerNewConnection() { m_bViewerConnected = TRUE; }
  void OnViewerDisconnected() { m_bViewerConnected = FALSE; }
  BOOL IsConnectedToViewer() const { return m_bViewerConnected.load(); }

  // The single view, handle 1. A view pointer may be used only while ViewLock() is held,
  // since CreateView, CloseView, Start (which resets the view) and Disconnect replace or
  // change it from other threads.
  LONG CreateView();
  CCaptureView* GetView(LONG hView);
  void CloseView(LONG hView);
  void CloseAllViews();
  COsUserLock& ViewLock() RETURN_CAPABILITY(m_csView) { return m_csView; }

  // Capture settings, passed to the capture manager unchanged.
  void SetFileSize(ULONG cbFileSize) { m_pCaptureMngt->SetFileSize(cbFileSize); }
  void SetBufferSize(ULONG cbBufferSize) { m_pCaptureMngt->SetBufferSize(cbBufferSize); }
  void SetAutoSave(bool bAutoSave) { m_pCaptureMngt->SetAutoSave(bAutoSave); }
  void SetSaveFileName(const char* szName) { m_pCaptureMngt->SetSaveFileName(szName); }
  void SetFolderName(const char* szFolder) { m_pCaptureMngt->SetFolderName(szFolder); }
  void EnableRingBuffer(bool bEnable) { m_pCaptureMngt->EnableRingBuffer(bEnable); }
  void SetRingBufferFileCount(LONG nFiles) { m_pCaptureMngt->SetRingBufferFileCount(nFiles); }
  void SetOverwriteExisting(bool bOverwrite) { m_pCaptureMngt->SetOverwriteExisting(bOverwrite); }
  // The maximum capture size set, not a size on disk.
  ULONG OsUserGetFileSize() { return m_pCaptureMngt->OsUserGetFileSize(); }
  ULONG GetBufferSize() { return m_pCaptureMngt->GetBufferSize(); }
  bool IsRingBuffer() { return m_pCaptureMngt->IsRingBuffer(); }
  LONG GetRingBufferFileCount() { return m_pCaptureMngt->GetRingBufferFileCount(); }
  bool GetCaptureInfo(LONG& nFrames, ULONG& cbFrames, ULONG& nOverflows) {
    return m_pCaptureMngt->GetCaptureInfo(nFrames, cbFrames, nOverflows);
  }
  CString GetSaveFileName();
  bool GetAutoSave() { return m_pCaptureMngt->GetAutoSave(); }
  bool GetOverwriteExisting() { return m_pCaptureMngt->GetOverwriteExisting(); }
  HRESULT SaveCaptureAs(const char* szName) { return m_pCaptureMngt->SaveCaptureAs(szName); }
  HRESULT GetFileName(DWORD cbBuffer, char* szBuffer) {
    return m_pCaptureMngt->GetFileName(cbBuffer, szBuffer);
  }
  bool IsFileFull() { return !m_pCaptureMngt->IsRingBuffer() && m_pCaptureMngt->IsFileFull(); }
  // A full single file, or a write failure more writes cannot cure.
  bool CannotStoreMore() { return IsFileFull() || m_pCaptureMngt->HasFailed(); }
  // The capture manager, owned; lives as long as the engine.
  CCaptureMngt* GetCaptureMngt() { return m_pCaptureMngt.get(); }

  // Filters. The table and flag setters return 0x98110700 while capturing (as LoadXmlSettings)
  // and change nothing.
  HRESULT SetIncludeTable(const TNmxAddressTable* table);
  HRESULT SetExcludeTable(const TNmxAddressTable* table);
  HRESULT SetIncludeTable(const BYTE* table, DWORD cb);
  HRESULT SetExcludeTable(const BYTE* table, DWORD cb);
  HRESULT SetFilterFlags(DWORD dwFlags);
  // Switches, reads and the rest of the filter state: see CNmxFilter.
  CNmxFilter& Filters() { return m_filter; }
  DWORD GetFilterFlags() { return m_filter.GetFilterFlags(); }
  void EnableFilter(BOOL b) { m_filter.EnableFilter(b); }
  BOOL IsFilterActive() { return m_filter.IsFilterActive(); }
  void EnableIncludeTable(BOOL b) { m_filter.EnableIncludeTable(b); }
  BOOL IsIncludeTableActive() { return m_filter.IsIncludeTableActive(); }
  void EnableExcludeTable(BOOL b) { m_filter.EnableExcludeTable(b); }
  BOOL IsExcludeTableActive() { return m_filter.IsExcludeTableActive(); }
  void EnableKrpCommandTable(BOOL b) { m_filter.EnableKrpCommandTable(b); }
  BOOL IsKrpCommandTableActive() { return m_filter.IsKrpCommandTableActive(); }
  void InitializeFilters() { m_filter.InitializeFilters(); }

 protected:
  // Stores frames in order until one is not stored (CCaptureMngt::WriteFrames); the writer
  // thread's only way to the capture manager.
  virtual HRESULT WriteCaptureFrames(const FRAME* const* frames, size_t n, size_t* pnStored);
  // Called once per run by whichever thread ends it, before the writer is told to stop.
  virtual void OnCaptureStopping() {}
  // Under m_csControl: waits for the writer of a run that stopped itself.
  void ReapWriter() REQUIRES(m_csControl);
  // The writer's cycle in milliseconds (25); a change applies from its next wait.
  void SetWriterCycle(LONG ms) { m_nLoggerCycle = ms; }
  // Stops and waits for the writer. A derived class that overrides the hooks above calls it
  // in its own destructor, since the writer may call them until it has ended.
  void Shutdown();
  // Ends the viewer service and waits for every handler it replaced, so that no viewer can
  // start a capture any more. A derived class calls it in its destructor before Shutdown.
  void StopViewerService();

  COsUserLock m_csControl;

 private:
  // Frames the writer hands to the capture manager at a time.
  static constexpr size_t kWriteRun = 256;
  // Capturing, or a self-stop is still under way.
  bool IsBusy() const { return IsStarted() || m_bSelfStopping.load(); }
  // The writer thread's routine: runs WriterLoop, which writes the queue, not a receiver.
  static DWORD NmxReceiverThread(LPVOID pParam);
  void WriterLoop();
  void StopFromWriter();
  // Ends the run whose m_bStarted this thread cleared. Stop calls it under m_csControl and
  // reaps the writer; the writer calls it without the lock and reaps nothing, which the
  // analysis cannot tell apart.
  void EndRun(bool bOnWriter) NO_THREAD_SAFETY_ANALYSIS;
  // Frees every queued frame; returns how many.
  ULONGLONG DiscardQueuedFrames();
  // Under m_csFrameList: the queue takes a record of cbRecord bytes.
  bool HasRoomFor(DWORD cbRecord) const REQUIRES(m_csFrameList);
  // Under m_csFrameList: appends frame; true when the queue just passed its high-water mark.
  bool QueueFrame(FRAME* frame, DWORD cbRecord) REQUIRES(m_csFrameList);
  // Gives the memory of a frame taken out of a queue back, in queue order.
  void ReleaseFrame(FRAME* frame);
  // Writes the record of cmd into frame (cbRecord bytes).
  static void BuildFrame(FRAME* frame, DWORD cbRecord, const NmxCmd* cmd, DWORD cbPacket,
                         bool bStamp, LONGLONG time);
  // A command handler replaced by a settings document, and the thread that deletes it once
  // its request in progress has been answered (null when that thread could not start).
  struct TRetiredHandler {
    CKrpComm* pKrpComm;
    OS_USER_THREAD_HANDLE hReaper;
  };
  struct TReaperParam {
    CNmxLogger* pThis;
    CKrpComm* pKrpComm;
    bool bReconnect;
  };
  // Under m_csControl: creates and connects a handler on m_nPort and m_strAddress.
  HRESULT ConnectLocked() REQUIRES(m_csControl);
  // Under m_csControl: a settings document's "ConnectionPort" and "ConnectionAddress" (either
  // may be empty); moves an enabled viewer service.
  void ApplyConnectionSettings(const pugi::xml_node& port, const pugi::xml_node& address)
      REQUIRES(m_csControl);
  // Under m_csControl: takes the handler out of service and closes the view. The caller
  // deletes the handler outside m_csControl, since a request it is serving may wait for it.
  CKrpComm* DetachViewerService() REQUIRES(m_csControl);
  // Under m_csControl: as DetachViewerService, but the handler is deleted later, once the
  // request it may be serving on this very thread has been answered. With bReconnect the
  // service is enabled again (ReconnectAfterRetire) once the handler has gone, for a listener
  // that needs the port it holds. False when no thread could be started for that.
  bool RetireViewerService(bool bReconnect = false) REQUIRES(m_csControl);
  // On a reaper thread: enables the service a settings document moved, unless it was enabled,
  // disabled or stopped for good meanwhile.
  void ReconnectAfterRetire();
  // Under m_csControl: says on the console and in the system log that the listener could not
  // be opened on m_nPort and m_strAddress.
  void ReportListenerFailure(HRESULT hr) REQUIRES(m_csControl);
  // Under m_csControl: forgets the retired handlers that are gone, without waiting.
  void ReapRetiredHandlers() REQUIRES(m_csControl);
  static DWORD ReaperThread(LPVOID pParam);

  std::atomic<LONG> m_nPort{NMX_LOGGER_DEFAULT_PORT};
  CString m_strAddress GUARDED_BY(m_csControl);
  CKrpComm* m_pKrpComm GUARDED_BY(m_csControl) = nullptr;
  std::vector<TRetiredHandler> m_retired GUARDED_BY(m_csControl);
  std::atomic<bool> m_bReapNow{false};
  bool m_bReconnectWanted GUARDED_BY(m_csControl) = false;
  std::atomic<WORD> m_nListenPort{0};
  std::unique_ptr<CCaptureMngt> m_pCaptureMngt;
  CCaptureView* m_pCaptureView GUARDED_BY(m_csView) = nullptr;
  IVxNmxLoggerCallback* m_pCallback;
  std::atomic<bool> m_bConnected{false};
  std::atomic<LONG> m_nLoggerCycle{NMX_LOGGER_CYCLE_MS};
  // The writer thread of the current run (NmxReceiverThread).
  OS_USER_THREAD_HANDLE m_hReceiverThread GUARDED_BY(m_csControl) = nullptr;
  OS_USER_THREAD_ID m_dwReceiverThreadId GUARDED_BY(m_csControl) = {};
  OS_USER_EVENT_HANDLE m_hStopLoggerEvent;
  // Auto-reset; ends the writer's wait: the queue passed its high-water mark, or a stop.
  OS_USER_EVENT_HANDLE m_hWakeWriter;
  CNmxFilter m_filter;
  std::atomic<BOOL> m_bViewerConnected{FALSE};
  std::unique_ptr<TFrameList> m_pFrameList GUARDED_BY(m_csFrameList);  // the shared queue
  std::unique_ptr<TFrameList> m_pWriterList;  // the writer's batch, traded for the queue
  CFrameArena m_arena;  // taken from under m_csFrameList, given back in queue order
  size_t m_cbQueued GUARDED_BY(m_csFrameList) = 0;  // record bytes in m_pFrameList
  COsUserLock m_csFrameList;
  std::atomic<ULONGLONG> m_nDroppedFrames{0};
  std::atomic<bool> m_bWriteErrorTaken{false};
  std::atomic<HRESULT> m_hrStartError{S_OK};
  // Cleared by exactly one thread per run (compare-and-swap): Stop or the writer's self-stop.
  std::atomic<bool> m_bStarted{false};
  std::atomic<bool> m_bSelfStopping{false};
  COsUserLock m_csView;
};
