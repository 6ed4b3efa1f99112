// A ring of 2 to 10 capture files of equal size in which the oldest frames give way.
#pragma once

#include "capture/CaptureFileBase.h"
#include "capture/CapturePath.h"
#include "capture/IOverflow.h"
#include "capture/RingBufferFile.h"
#include "os/OsTypes.h"

// Looks to its user like one capture with one frame numbering (0 = oldest frame held) and
// offsets of a single-file view (128 + the record bytes of all earlier frames). The files fill
// in slot order; when the last one is full the oldest is emptied in place, moved to the end
// and every frame is renumbered; each such drop is reported once per write call through
// IOverflow. File 0 has the main name, file j the name "<main name minus 4 chars>~j.cap";
// files keep their names while they move through the slots. CloseFile merges all frames into
// one file with the main name.
//
// Owns its files; pOverflow is not owned and must outlive the ring. Not locked: the capture
// manager calls it only under its file lock.
class CRingBuffer : public CCaptureFileBase {
 public:
  static constexpr LONG kMinFiles = 2;
  static constexpr LONG kMaxFiles = 10;
  static constexpr DWORD kMaxPath = vxcap::kMaxCapturePath;

  // nFiles is limited to 2 ... 10.
  CRingBuffer(LONG nFiles, IOverflow* pOverflow, bool bOverwriteExisting);
  ~CRingBuffer() override;

  using CCaptureFileBase::GetSizeOfFrames;

  // Per-file maximum size for a ring of nFiles files with cbMaxSize bytes in total: one header
  // plus an equal share of the frame space.
  static DWORD FileSizeFor(DWORD cbMaxSize, LONG nFiles);
  LONG GetFileCount() const { return m_nFiles; }

  // A temporary ring in the boot project folder.
  HRESULT Create(DWORD cbMaxSize) override;
  // Without bOverwriteExisting a named ring continues the merged capture an earlier run left
  // in the main file (keeping its newest frames when they no longer fit into the ring's
  // files), or keeps what it cannot continue (the files of an unmerged ring; a damaged or too
  // large main file) as backups ("x.ca~") and starts empty. Only an empty main file is
  // overwritten.
  HRESULT Create(DWORD cbMaxSize, const char* szFolder, const char* szFileName,
                 bool bTemporary) override;
  // Empties every file and restarts the numbering at file 0.
  HRESULT Clear(bool bResetTable) override;
  // A record larger than an empty ring file is refused without dropping anything.
  HRESULT WriteFrame(const void* pFrame, DWORD cbFrame) override;
  // Entries are offsets in the single-file view, as the memory capture holds them. The batch
  // is split only at file boundaries. The ring's counts follow every part that reached a
  // file, also when a later part fails.
  HRESULT WriteFrames(IVxStream* pTableStream, DWORD cbTable, IVxStream* pFrameStream,
                      DWORD cbFrames) override;
  // Rotates the ring: moves on to the next slot or, from the last one, empties the oldest file
  // and makes it the newest; the frames and bytes dropped are added to the two counts.
  // Always S_OK.
  virtual HRESULT AddBufferFile(DWORD& cbShiftFrames, LONG& nShiftFrames);

  // The ring has no single stream.
  IVxStream* GetFrameStream() override { return nullptr; }
  // The size its frames would have as one file.
  DWORD GetSize() override;
  DWORD GetFramePosition() override { return m_cbFrames + m_cbHeader; }
  // Offset within its own file of ring frame nPos; 0 if no file holds it.
  DWORD GetFrameOffset(LONG nPos) override;
  HRESULT SetFrameOffset(LONG nPos, DWORD nOffset) override;

  HRESULT ReadIncompleteFrame(DWORD cbSize, BYTE* pData, LONG nStartFrame, DWORD& cbRead,
                              TIncompleteFrame& incompleteFrame) override;
  HRESULT ReadFrames(DWORD cbSize, BYTE* pData, LONG nStartFrame, LONG nFrames, DWORD& cbFramesRead,
                     LONG& nFramesRead, TIncompleteFrame& incompleteFrame) override;
  HRESULT GetSizeOfFrames(LONG nStartFrame, LONG nFrames, DWORD& cbFrames) override;
  HRESULT GetSizeOfFrames(DWORD& cbFrames) override;

  // A ring file removed or replaced while capturing is merged from its open file all the same;
  // its path is left to whatever took it.
  HRESULT CloseFile() override;
  const char* LostFilePath() override;
  CString TakeNotice() override;
  HRESULT Truncate() override;
  // Only after CloseFile: saves the merged file as a whole (the range is not used).
  HRESULT SaveCaptureAs(const char* szFileName, bool bBootPath, LONG nStartFrame,
                        LONG nFrames) override;
  HRESULT GetFileName(DWORD dwBufferLength, char* szFileName) override;
  HRESULT OnOverflow(LONG& nOverflowFrames, DWORD& cbOverflowFrames) override;

  // The file in slot nSlot (0 = oldest), null if empty; owned by the ring.
  CRingBufferFile* GetBufferFile(LONG nSlot) const;
  LONG GetCurrentIndex() const { return m_nCurIndex; }

 private:
  // Name of ring file j into szName (kMaxPath + 1 characters).
  void MakeFileName(LONG j, char* szName) const;
  HRESULT ContinueCapture(const char* szFolder, LONG& nDropped, DWORD& cbDropped);
  HRESULT DistributeFrames(const char* szFolder, CRingBufferFile* pMain);
  HRESULT KeepNewestFrames(const char* szFolder, CRingBufferFile*& pMain, LONG& nDropped,
                           DWORD& cbDropped);
  void DeleteFiles();

  CRingBufferFile* m_pBufferFiles[kMaxFiles] = {};
  LONG m_nFiles;
  LONG m_nCurIndex = 0;
  char m_szFilePath[kMaxPath + 1] = {};
  char* m_szFileName = m_szFilePath;
  DWORD m_cbFrames = 0;
  DWORD m_cbHeader = 128;
  DWORD m_cbFileSize = 0;
  bool m_bClosed = false;
  bool m_bCreated = false;
  bool m_bTemporary = true;
  bool m_bOverwriteExisting;
  IOverflow* m_pOverflow;
};
