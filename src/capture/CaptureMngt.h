// The running capture: a bounded memory buffer in front of a capture file or a ring of files.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "capture/Capture.h"
#include "capture/CaptureFileBase.h"
#include "capture/CaptureFormat.h"
#include "capture/CaptureMem.h"
#include "capture/CaptureSettings.h"
#include "capture/IOverflow.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"
#include "os/VxString.h"

// The engine's writer thread stores frame records with WriteFrame (a memory copy under the
// memory lock) into one of two buffers; a file thread of the manager swaps the buffers and
// writes the full one to disk in a batch while the writer fills the other, at least every
// nFileUpdateCycle milliseconds and whenever the batch is complete. The two buffers share the
// buffer size set (CaptureSettings::cbBuffer); for a large file each grows so that a batch, half a
// buffer, reaches a quarter of the frame table every append moves (up to 16 MiB a buffer and
// a quarter of a file each), which keeps the table moves a bounded share of the work. The
// writer waits for the disk only when both buffers are full. Frames are
// numbered from 0 in arrival order; when the ring drops its oldest frames every number falls
// by the count dropped, and the overflow counter (never 0 after the first overflow) changes.
//
// Thread-safe: every operation may be called from any thread. Locks are always taken in the
// order start/stop lock, writer lock, file lock (m_csFile, the capture on disk), memory lock
// (m_csMem, the buffer and the counters). The manager owns the memory buffer and the capture
// on disk; the latter survives Stop, closed, so that it can still be saved and named. Views
// (CCaptureView) hold a plain pointer to the manager, which must outlive them.
class CCaptureMngt : public IOverflow {
 public:
  static constexpr DWORD kMinFileSize = 1048576;

  CCaptureMngt(DWORD cbFileSize, DWORD cbBufferSize, DWORD nFileUpdateCycle, LONG nRingBufferFiles,
               bool bOverwriteExisting);
  // Stops a capture that is still running.
  virtual ~CCaptureMngt();
  CCaptureMngt(const CCaptureMngt&) = delete;
  CCaptureMngt& operator=(const CCaptureMngt&) = delete;

  // The ring's report, called while the caller holds both locks.
  HRESULT OnOverflow(LONG nFrames, DWORD cbFrames) override;

  // The settings, read whole.
  CaptureSettings GetSettings();
  // Edits the settings in force in one step under the file lock: change gets a copy to edit.
  // Idle-only settings (CaptureSettingInfo::idleOnly) keep their values while a capture runs
  // and the sizes stay within their bounds (ResolveCaptureSettings); everything else takes
  // effect at the next Start. change must not call the manager.
  void ChangeSettings(const std::function<void(CaptureSettings&)>& change);
  bool IsStarted() const { return m_bStarted.load(); }
  bool IsFileFull() const { return m_bFull.load(); }
  // A write failed in a way more writes cannot cure (anything but a lack of space): the
  // capture takes no more frames, as a full single file.
  bool HasFailed() const { return m_bFailed.load(); }
  // The single file of this (or the last) run is full, or the capture failed: no frame will
  // be stored any more. Lock-free, for the writer.
  bool TakesNoMoreFrames() const;
  // The first failed write to disk of this capture (also at Stop: cutting, merging, syncing);
  // S_OK while there was none.
  HRESULT GetWriteError();
  // Why the last Start failed (never empty after a failure); empty after a successful one.
  CString GetErrorString();

  HRESULT Start();
  // Copies what is buffered, cuts the capture to its length and closes it (a ring is merged
  // into its main file). Returns the result of cutting.
  HRESULT Stop();
  // Stores one record of FrameLength + 16 bytes. S_OK stored; S_FALSE the single capture
  // file is full or the capture has failed (this and every later frame of the capture are
  // refused); E_FAIL not started or the frame could not be stored (frames the disk has not
  // taken yet are kept, and the new one is refused). Every frame refused while started is
  // counted as not stored. Concurrent writers are served one after the other. pFrame must
  // hold FrameLength + 16 bytes.
  HRESULT WriteFrame(const FRAME* pFrame);
  // Stores frames[0..n) in order as WriteFrame would, each of them, but takes the locks once
  // for as many as fit the buffer. Stops at the first frame not stored: *pnStored is its
  // index and the result is its WriteFrame result; S_OK when all n were stored.
  HRESULT WriteFrames(const FRAME* const* frames, size_t n, size_t* pnStored);
  // Only while stopped: saves the whole capture into the boot project folder. Refuses to
  // replace a file that is not a capture with vxcap::CAPTURE_E_FOREIGN_FILE.
  HRESULT SaveCaptureAs(const char* szFileName);
  // True when a capture named szFileName in the capture folder (the folder name set, else the
  // boot project folder) would replace a file that is not a capture; the next Start refuses
  // to do that.
  bool IsForeignSaveFile(const char* szFileName);
  HRESULT GetFileName(DWORD dwBufferLength, char* szFileName);

  // Read together under both locks; always true.
  bool GetCaptureInfo(LONG& nFrames, DWORD& cbFrames, DWORD& nOverflowCount);
  // The same, with the frames and bytes dropped by all overflows of this capture, so that a
  // reader that missed several overflows can still renumber its position exactly.
  bool GetCaptureInfo(LONG& nFrames, DWORD& cbFrames, DWORD& nOverflowCount,
                      LONGLONG& nDroppedFrames, ULONGLONG& cbDroppedFrames);
  // The most recent overflow; 0 and 0 before the first.
  bool GetOverflowInfo(LONG& nFrames, DWORD& cbFrames);
  // Frames handed to this capture that are not on disk: refused by WriteFrame, or buffered
  // but never written (the batch a full single file could not take, frames the disk refused
  // until the end). Buffered frames stay readable until Stop, which takes those that did not
  // reach the disk out of the frame count, so the count then agrees with the file.
  ULONGLONG GetFramesNotStored();
  // What the operator must hear about the capture's files, oldest first, each once: a file
  // removed or replaced by another program while capturing (noticed at the next copy, within
  // a file update cycle), and what Stop did about it. False when there is nothing (more).
  bool TakeNotice(CString& text);

  // Reads for viewers, by the current frame numbers; served by the memory buffer when it
  // holds nStartFrame, otherwise by the capture on disk continued from the buffer.
  HRESULT ReadFrames(DWORD cbSize, BYTE* pData, LONG nStartFrame, LONG nFrames, DWORD& cbFramesRead,
                     LONG& nFramesRead, TIncompleteFrame& incompleteFrame);
  HRESULT ReadIncompleteFrame(DWORD cbSize, BYTE* pData, LONG nStartFrame, DWORD& cbRead,
                              TIncompleteFrame& incompleteFrame);

 private:
  // Start under all three locks.
  HRESULT StartLocked() REQUIRES(m_csControl, m_csFile, m_csMem);
  // A failure result in words, for a failure that brought no explanation of its own.
  static CString DescribeFailure(HRESULT hr);
  static DWORD FileThreadProc(LPVOID pParam);
  void FileThread();
  // Under no lock: writes what the flush buffer holds, then the writer's buffer.
  HRESULT CopyFramesToFile();
  // Under the memory lock: appends the record to the buffer and counts it.
  HRESULT WriteToBuffer(const FRAME* pFrame, DWORD cbFrame) REQUIRES(m_csMem);
  // WriteFrame's work once the capture runs; any result but S_OK means not stored.
  HRESULT StoreFrame(const FRAME* pFrame, DWORD cb) REQUIRES(m_csWrite);
  HRESULT WriteBypassingBuffer(const FRAME* pFrame, DWORD cbFrame) REQUIRES(m_csWrite);
  // Under both locks: both buffers start empty behind the frames on disk.
  void RebaseBuffer() REQUIRES(m_csFile, m_csMem);
  void DeleteBuffers() REQUIRES(m_csFile, m_csMem);
  // Under both locks: frames of the flush buffer that are not on disk yet.
  LONG UnwrittenInFlush() REQUIRES(m_csFile, m_csMem);
  // Under the file lock: when the flush buffer is all on disk and the writer's buffer holds
  // frames, the two change places. False when nothing changed (also when a single file cannot
  // take the batch whole: it is full).
  bool SwapBuffers() REQUIRES(m_csFile);
  // Under the file lock: writes the flush buffer's frames that are not on disk yet.
  HRESULT WriteFlushBuffer() REQUIRES(m_csFile);
  // Each buffer's size for a buffer size set and a file (one ring file) of cbPerFile bytes.
  static DWORD BatchBufferSize(DWORD cbBuffer, DWORD cbPerFile);
  // Under the file lock: the batch size for the table the capture has now.
  void UpdateBatchSize() REQUIRES(m_csFile);
  // Under the memory lock: remembers the first write error; one that more writes cannot
  // cure ends the capture.
  void NoteWriteError(HRESULT hr) REQUIRES(m_csMem);
  // Under the file lock: notes, once per capture, a file of the capture that its path no
  // longer names.
  void CheckFilesInPlace() REQUIRES(m_csFile);
  void AddNotice(const CString& text) REQUIRES(m_csMem);
  // Under the memory lock.
  void CountNotStored(ULONGLONG nFrames) REQUIRES(m_csMem) { m_nFramesNotStored += nFrames; }

 protected:
  // The capture object a Start creates; tests put a file of their own in its place.
  virtual CCaptureFileBase* NewCaptureObject() REQUIRES(m_csFile);

  // The state is protected so that tests can put the counters at their limits.
  std::atomic<bool> m_bStarted{false};
  CCaptureMem* m_pCaptureMem GUARDED_BY(m_csMem) = nullptr;  // the writer's
  // The batch being written, or written last and still readable; its frames from
  // m_nNextFrame on are not on disk yet. Changes places with m_pCaptureMem under both locks.
  CCaptureMem* m_pFlushMem GUARDED_BY(m_csFile) = nullptr;
  DWORD m_cbEachBuffer GUARDED_BY(m_csFile) = 0;
  DWORD m_cbMinBatch GUARDED_BY(m_csFile) = 0;
  std::atomic<DWORD> m_cbBatch{0};
  CCaptureFileBase* m_pCaptureFile GUARDED_BY(m_csFile) = nullptr;
  CaptureSettings m_settings GUARDED_BY(m_csFile);
  LONG m_nFrames GUARDED_BY(m_csMem) = 0;
  DWORD m_cbFrames GUARDED_BY(m_csMem) = 0;
  LONG m_nNextFrame GUARDED_BY(m_csMem) = 0;
  DWORD m_nNextMemPos GUARDED_BY(m_csMem) = 0;
  std::atomic<bool> m_bFull{false};
  // The file mode of the current (or last) run, which the writer reads without the file lock.
  std::atomic<bool> m_bRingRun{false};
  DWORD m_nOverflowCount GUARDED_BY(m_csMem) = 0;
  LONG m_nOverflowFrames GUARDED_BY(m_csMem) = 0;
  DWORD m_cbOverflowFrames GUARDED_BY(m_csMem) = 0;
  LONGLONG m_nDroppedFrames GUARDED_BY(m_csMem) = 0;
  ULONGLONG m_cbDroppedFrames GUARDED_BY(m_csMem) = 0;
  ULONGLONG m_nFramesNotStored GUARDED_BY(m_csMem) = 0;
  HRESULT m_hrWriteError GUARDED_BY(m_csMem) = S_OK;
  std::atomic<bool> m_bFailed{false};
  OS_USER_THREAD_HANDLE m_hFileThread GUARDED_BY(m_csControl) = nullptr;
  OS_USER_THREAD_ID m_dwFileThreadId GUARDED_BY(m_csControl) = {};
  std::atomic<bool> m_bFileThreadEnded{true};
  DWORD m_nFileUpdateCycle;
  // Stop; copy request (answered with m_hCopiedEvent); batch complete (not answered).
  OS_USER_EVENT_HANDLE m_hFileEvents[3] = {};
  OS_USER_EVENT_HANDLE m_hCopiedEvent = nullptr;
  COsUserLock m_csControl;
  COsUserLock m_csWrite;
  COsUserLock m_csFile;
  COsUserLock m_csMem;
  CString m_sErr GUARDED_BY(m_csFile);
  bool m_bFileLostNoted GUARDED_BY(m_csFile) = false;
  std::vector<CString> m_notices GUARDED_BY(m_csMem);
};
