#include "engine/NmxLogger.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "engine/FailureReport.h"
#include "nmx/KrpTypes.h"
#include "os/ByteOrder.h"

namespace {

// The capture manager's settings at construction.
constexpr DWORD kDefaultFileSize = 0x100000;
constexpr DWORD kDefaultBufferSize = 0x10000;
constexpr DWORD kFileUpdateCycleMs = 10000;
constexpr LONG kDefaultRingFiles = 2;

constexpr DWORD kTimeStampSize = 8;

// Result of a table or flag change while capturing.
const HRESULT kRefusedWhileCapturing = KrpResultFromCode(KRP_E_GENERAL);

DWORD RecordSizeOf(const FRAME* frame) {
  return vx::DecodeLE32(reinterpret_cast<const BYTE*>(frame) + vxcap::kRecFrameLength) +
         vxcap::kRecordHeadSize;
}

}  // namespace

CNmxLogger::CNmxLogger(IVxNmxLoggerCallback* pCallback)
    : m_pCaptureMngt(new CCaptureMngt(kDefaultFileSize, kDefaultBufferSize, kFileUpdateCycleMs,
                                      kDefaultRingFiles, true)),
      m_pCallback(pCallback),
      m_hStopLoggerEvent(OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr)),
      m_hWakeWriter(OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr)),
      m_pFrameList(std::make_unique<TFrameList>()),
      m_pWriterList(std::make_unique<TFrameList>()) {}

CNmxLogger::~CNmxLogger() {
  Shutdown();
  m_pCaptureMngt.reset();
  if (m_hStopLoggerEvent) OsUserCloseHandle(m_hStopLoggerEvent);
  if (m_hWakeWriter) OsUserCloseHandle(m_hWakeWriter);
  DiscardQueuedFrames();
}

const NmxNetId* CNmxLogger::GetLocalNetId() {
  return nullptr;
}

// ---- Start and stop -------------------------------------------------------------------------

bool CNmxLogger::Start() {
  COsCsLock control(m_csControl);
  if (m_bStarted) return false;
  ReapWriter();
  m_hrStartError = S_OK;
  if (!m_hStopLoggerEvent || !m_hWakeWriter) {
    m_hrStartError = E_OUTOFMEMORY;
    ReportFailure("Failed to start capture! Out of memory");
    return false;
  }
  OsUserResetEvent(m_hStopLoggerEvent);
  OsUserResetEvent(m_hWakeWriter);
  if (const HRESULT hr = m_pCaptureMngt->Start(); FAILED(hr)) {
    m_hrStartError = hr;
    CString err;
    err.Format("Failed to start capture! %s",
               static_cast<const char*>(m_pCaptureMngt->GetErrorString()));
    ReportFailure(err);
    return false;
  }
  if (m_pListener) m_pListener->OnCaptureStarting();
  m_nDroppedFrames = 0;
  m_bWriteErrorTaken = false;
  // Set before the writer runs: it ends as soon as it finds the run stopped.
  m_bStarted.store(true, std::memory_order_release);
  m_hReceiverThread =
      OsUserCreateThread(nullptr, 0, NmxReceiverThread, this, 0, &m_dwReceiverThreadId);
  if (!m_hReceiverThread) {
    m_bStarted = false;
    m_pCaptureMngt->Stop();
    DiscardQueuedFrames();
    m_hrStartError = E_FAIL;
    ReportFailure("Failed to start capture! No writer thread");
    return false;
  }
  if (m_pCallback) m_pCallback->OnStart();
  return true;
}

bool CNmxLogger::Stop() {
  COsCsLock control(m_csControl);
  bool expected = true;
  if (!m_bStarted.compare_exchange_strong(expected, false)) return false;
  EndRun(false);
  return true;
}

// The writer cannot wait for itself, so its stop leaves its handle to the next Start or the
// destructor; Stop does not wait for it (a host may hold a lock that OnStop needs).
void CNmxLogger::StopFromWriter() {
  // Raised before the run flag falls, so settings are refused until the capture manager has
  // stopped: it ignores most of them while it runs.
  m_bSelfStopping = true;
  bool expected = true;
  if (m_bStarted.compare_exchange_strong(expected, false)) EndRun(true);
  m_bSelfStopping = false;
}

void CNmxLogger::EndRun(bool bOnWriter) {
  OnCaptureStopping();
  if (!bOnWriter) {
    OsUserSetEvent(m_hStopLoggerEvent);
    OsUserSetEvent(m_hWakeWriter);
    ReapWriter();
  }
  m_pCaptureMngt->Stop();
  // The writer wrote everything queued before the stop; what is left here came to a writer
  // that had stopped on a full file. Lost, and said so (before OnStop, which may report it).
  m_nDroppedFrames.fetch_add(DiscardQueuedFrames(), std::memory_order_relaxed);
  if (m_pCallback) m_pCallback->OnStop();
}

ULONGLONG CNmxLogger::GetRingDroppedFrames() {
  LONG nFrames = 0;
  DWORD cbFrames = 0, nOverflows = 0;
  LONGLONG nDropped = 0;
  ULONGLONG cbDropped = 0;
  m_pCaptureMngt->GetCaptureInfo(nFrames, cbFrames, nOverflows, nDropped, cbDropped);
  return nDropped > 0 ? static_cast<ULONGLONG>(nDropped) : 0;
}

bool CNmxLogger::TakeWriteError(HRESULT& hr) {
  hr = m_pCaptureMngt->GetWriteError();
  return FAILED(hr) && !m_bWriteErrorTaken.exchange(true);
}

void CNmxLogger::Shutdown() {
  Stop();
  COsCsLock control(m_csControl);
  ReapWriter();
}

void CNmxLogger::ReapWriter() {
  if (!m_hReceiverThread) return;
  OsUserWaitForSingleObject(m_hReceiverThread, INFINITE);
  OsUserCloseHandle(m_hReceiverThread);
  m_hReceiverThread = nullptr;
}

ULONGLONG CNmxLogger::DiscardQueuedFrames() {
  COsCsLock lock(m_csFrameList);
  ULONGLONG n = 0;
  for (; !m_pFrameList->IsEmpty(); ++n) ReleaseFrame(m_pFrameList->RemoveHead());
  m_cbQueued = 0;
  return n;
}

void CNmxLogger::ReleaseFrame(FRAME* frame) {
  if (m_arena.IsArenaBlock(frame))
    m_arena.Give(frame, RecordSizeOf(frame));
  else
    free(frame);
}

bool CNmxLogger::HasRoomFor(DWORD cbRecord) const {
  // A record larger than the whole bound still goes into an empty queue.
  return m_pFrameList->HasFreeNode() &&
         (m_cbQueued == 0 || m_cbQueued + cbRecord <= NMX_FRAME_QUEUE_BYTES);
}

bool CNmxLogger::QueueFrame(FRAME* frame, DWORD cbRecord) {
  m_pFrameList->AddTail(frame);
  const size_t before = m_cbQueued;
  m_cbQueued += cbRecord;
  // Only the crossing wakes the writer, not every frame behind it.
  return m_pFrameList->GetCount() == NMX_WRITER_WAKE_FRAMES ||
         (before < NMX_WRITER_WAKE_BYTES && m_cbQueued >= NMX_WRITER_WAKE_BYTES);
}

// ---- Receive path ---------------------------------------------------------------------------

void CNmxLogger::BuildFrame(FRAME* frame, DWORD cbRecord, const NmxCmd* cmd, DWORD cbPacket,
                            bool bStamp, LONGLONG time) {
  BYTE* rec = reinterpret_cast<BYTE*>(frame);
  vxcap::EncodeRecord(rec, cbRecord, time, reinterpret_cast<const BYTE*>(cmd), cbPacket);
  if (bStamp) {
    BYTE* head = rec + vxcap::kPacketOffset;
    vx::EncodeLE32(head + offsetof(NmxHead, cbData), cbPacket - NMX_HEAD_SIZE);
    vx::EncodeLE16(head + offsetof(NmxHead, stateFlags),
                   static_cast<WORD>(cmd->head.stateFlags & ~NMX_FLAG_TIMESTAMP));
  }
}

void CNmxLogger::OnNmxReceive(const NmxCmd* cmd) {
  if (!cmd || !IsStarted()) return;
  const DWORD cbData = cmd->head.cbData;
  // A stamp needs its 8 bytes; a shorter command is kept whole with the clock's time.
  const bool bStamp = (cmd->head.stateFlags & NMX_FLAG_TIMESTAMP) && cbData >= kTimeStampSize;
  const DWORD cbStored = bStamp ? cbData - kTimeStampSize : cbData;
  if (cbStored > 0xFFFFFFFFu - vxcap::kPacketOffset - NMX_HEAD_SIZE) return;
  const DWORD cbPacket = NMX_HEAD_SIZE + cbStored;
  const DWORD cbRecord = vxcap::RecordSize(cbPacket);
  const LONGLONG time = bStamp ? static_cast<LONGLONG>(vx::DecodeLE64(cmd->data + cbStored))
                               : OsUserGetSystemTimeAsFileTime();

  // Checked under the lock: a stop discards the queue under it, so nothing queued after that
  // can outlive the run.
  bool bQueued = false, bWake = false;
  {
    COsCsLock lock(m_csFrameList);
    if (!IsStarted()) return;
    if (!HasRoomFor(cbRecord)) {
      m_nDroppedFrames.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (FRAME* frame = m_arena.Take(cbRecord)) {
      BuildFrame(frame, cbRecord, cmd, cbPacket, bStamp, time);
      bWake = QueueFrame(frame, cbRecord);
      bQueued = true;
    }
  }
  if (!bQueued) {
    // Too large for the arena, or the arena is full of waiting frames: a block of its own,
    // allocated and filled outside the lock.
    FRAME* frame = static_cast<FRAME*>(malloc(cbRecord));
    if (!frame) {
      m_nDroppedFrames.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    BuildFrame(frame, cbRecord, cmd, cbPacket, bStamp, time);
    {
      COsCsLock lock(m_csFrameList);
      if (IsStarted() && HasRoomFor(cbRecord)) {
        bWake = QueueFrame(frame, cbRecord);
        frame = nullptr;
      } else if (IsStarted()) {
        m_nDroppedFrames.fetch_add(1, std::memory_order_relaxed);
      }
    }
    free(frame);
  }
  if (bWake) OsUserSetEvent(m_hWakeWriter);
}

// ---- Writer thread --------------------------------------------------------------------------

DWORD CNmxLogger::NmxReceiverThread(LPVOID pParam) {
  static_cast<CNmxLogger*>(pParam)->WriterLoop();
  return 0;
}

HRESULT CNmxLogger::WriteCaptureFrames(const FRAME* const* frames, size_t n, size_t* pnStored) {
  return m_pCaptureMngt->WriteFrames(frames, n, pnStored);
}

void CNmxLogger::WriterLoop() {
  bool bFull = false;
  for (;;) {
    const auto cycleStart = std::chrono::steady_clock::now();
    // Read before the hand-over: once the run has stopped the feeder queues nothing more (it
    // looks at the flag under the queue's lock), so this batch then holds the last frames.
    const bool bStopping = !IsStarted();
    {
      // The batch list is always empty here, so trading it for the queue moves every waiting
      // frame, oldest first, in one step.
      COsCsLock lock(m_csFrameList);
      std::swap(m_pFrameList, m_pWriterList);
      m_cbQueued = 0;
    }
    ULONGLONG unwritten = 0;
    while (!m_pWriterList->IsEmpty()) {
      // Handed over in runs, so that the capture manager's locks are taken once per run
      // rather than once per frame.
      FRAME* run[kWriteRun];
      size_t n = 0;
      while (n < kWriteRun && !m_pWriterList->IsEmpty()) run[n++] = m_pWriterList->RemoveHead();
      if (bFull) unwritten += n;
      for (size_t done = 0; done < n && !bFull;) {
        size_t stored = 0;
        const HRESULT hr = WriteCaptureFrames(run + done, n - done, &stored);
        done += stored;
        if (hr == S_OK) break;
        // run[done] was refused (and counted by the capture manager); the rest goes on
        // unless the capture takes nothing more.
        if (hr == S_FALSE && CannotStoreMore()) {
          bFull = true;
          unwritten += n - done - 1;
        }
        ++done;
      }
      for (size_t i = 0; i < n; ++i) ReleaseFrame(run[i]);
    }
    if (unwritten) m_nDroppedFrames.fetch_add(unwritten, std::memory_order_relaxed);
    // A stop under way has had its last batch written; the capture manager stops behind it.
    if (bStopping) return;
    if (bFull) {
      StopFromWriter();
      return;
    }
    // The cycle runs from one hand-over to the next: the time spent writing this batch is not
    // added to the wait, or the queue would fill during a long batch plus a whole cycle. A
    // queue past its high-water mark (also while this batch was written) ends the wait, and
    // so does a stop, after which one more round writes what was queued before it.
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - cycleStart)
                           .count();
    const LONG cycle = m_nLoggerCycle;
    const DWORD wait = spent >= cycle ? 0 : static_cast<DWORD>(cycle - spent);
    if (IsStarted()) OsUserWaitForSingleObject(m_hWakeWriter, wait);
  }
}

// ---- Listener -------------------------------------------------------------------------------

void CNmxLogger::SetEngineListener(IEngineListener* pListener) {
  COsCsLock control(m_csControl);
  m_pListener = pListener;
}

// ---- Settings and filters -------------------------------------------------------------------

HRESULT CNmxLogger::SetIncludeTable(const TNmxAddressTable* table) {
  COsCsLock control(m_csControl);
  return IsBusy() ? kRefusedWhileCapturing : m_filter.SetIncludeTable(table);
}

HRESULT CNmxLogger::SetExcludeTable(const TNmxAddressTable* table) {
  COsCsLock control(m_csControl);
  return IsBusy() ? kRefusedWhileCapturing : m_filter.SetExcludeTable(table);
}

HRESULT CNmxLogger::SetIncludeTable(const BYTE* table, DWORD cb) {
  COsCsLock control(m_csControl);
  return IsBusy() ? kRefusedWhileCapturing : m_filter.SetIncludeTable(table, cb);
}

HRESULT CNmxLogger::SetExcludeTable(const BYTE* table, DWORD cb) {
  COsCsLock control(m_csControl);
  return IsBusy() ? kRefusedWhileCapturing : m_filter.SetExcludeTable(table, cb);
}

HRESULT CNmxLogger::SetFilterFlags(DWORD dwFlags) {
  COsCsLock control(m_csControl);
  if (IsBusy()) return kRefusedWhileCapturing;
  m_filter.SetFilterFlags(dwFlags);
  return S_OK;
}
