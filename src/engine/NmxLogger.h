// CNmxLogger: the capture engine. Turns received NMX commands into time-stamped frame records,
// queues them without allocation beyond the frame itself, and hands them to the capture
// manager on a writer thread. Around that it owns the capture settings, the traffic filters
// and the settings document. The service above it (the viewer service) reaches it through
// ViewerFace() and hears of what concerns it through its IEngineListener.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "capture/CaptureMngt.h"
#include "engine/FrameArena.h"
#include "engine/FrameList.h"
#include "engine/IEngineListener.h"
#include "engine/ViewerEngineFace.h"
#include "engine/VxNmxLoggerItf.h"
#include "nmx/NmxFilter.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"
#include "os/VxString.h"

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
// - Start, Stop, settings and filters may be called from any thread; Start, Stop and
//   everything refused while capturing are serialised by m_csControl.
// Lock order: m_csControl, then the listener's locks or the filter's lock, then the capture
// manager's locks; m_csFrameList is taken alone. The listener is called under m_csControl.
//
// The callback's OnStop may come from the writer thread (self-stop). Stop never waits for a
// self-stop in progress, but Start and the destructor do: a host must not hold a lock that its
// OnStop takes while it calls them.
//
// The viewer service runs requests on its own threads, which call Start, Stop and settings
// here; its owner stops it before the engine is destroyed, so that no viewer can start a
// capture behind the engine's shutdown.
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

  // What the viewer service sees of the engine; lives as long as the engine.
  IViewerEngine& ViewerFace() { return m_viewerFace; }
  // The listener (null: none): told, under m_csControl, that a capture is starting and what a
  // settings document says about the viewer connection. Not owned; it must stay until it is
  // replaced by null, which waits for a start or a settings document in progress.
  void SetEngineListener(IEngineListener* pListener);

  // Capture settings, read whole and changed in one step by the capture manager
  // (CCaptureMngt::ChangeSettings).
  CaptureSettings GetCaptureSettings() { return m_pCaptureMngt->GetSettings(); }
  void ChangeCaptureSettings(const std::function<void(CaptureSettings&)>& change) {
    m_pCaptureMngt->ChangeSettings(change);
  }
  bool GetCaptureInfo(LONG& nFrames, ULONG& cbFrames, ULONG& nOverflows) {
    return m_pCaptureMngt->GetCaptureInfo(nFrames, cbFrames, nOverflows);
  }
  HRESULT SaveCaptureAs(const char* szName) { return m_pCaptureMngt->SaveCaptureAs(szName); }
  HRESULT GetFileName(DWORD cbBuffer, char* szBuffer) {
    return m_pCaptureMngt->GetFileName(cbBuffer, szBuffer);
  }
  // A full single file, or a write failure more writes cannot cure.
  bool CannotStoreMore() { return m_pCaptureMngt->TakesNoMoreFrames(); }
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

  IEngineListener* m_pListener GUARDED_BY(m_csControl) = nullptr;
  std::unique_ptr<CCaptureMngt> m_pCaptureMngt;
  IVxNmxLoggerCallback* m_pCallback;
  std::atomic<LONG> m_nLoggerCycle{NMX_LOGGER_CYCLE_MS};
  // The writer thread of the current run (NmxReceiverThread).
  OS_USER_THREAD_HANDLE m_hReceiverThread GUARDED_BY(m_csControl) = nullptr;
  OS_USER_THREAD_ID m_dwReceiverThreadId GUARDED_BY(m_csControl) = {};
  OS_USER_EVENT_HANDLE m_hStopLoggerEvent;
  // Auto-reset; ends the writer's wait: the queue passed its high-water mark, or a stop.
  OS_USER_EVENT_HANDLE m_hWakeWriter;
  CNmxFilter m_filter;
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
  CViewerEngineFace m_viewerFace{*this};
};
