// One capture file on disk, kept valid after every append.
#pragma once

#include "capture/CaptureFileBase.h"
#include "capture/CapturePath.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"
#include "support/VxStream.h"

// States: new -> created and open (either Create) -> closed (CloseFile) <-> open read-only
// (OpenFile) -> destroyed. Appends need the open state of a Create; Rename needs the closed
// state. Stream positions are file offsets and frame numbers start at 0.
//
// After every append the header, the records and the table agree, so another handle may read
// the file between appends. An append that fails (a full disk, an I/O error) is reported and
// leaves the file and this object describing the frames held before it.
//
// The object owns its file stream. A temporary file is deleted when the object is destroyed.
// Not locked: the capture manager (or the ring) serialises all calls.
class CCaptureFile : public CCaptureFileBase {
 public:
  static constexpr DWORD kMaxPath = vxcap::kMaxCapturePath;

  CCaptureFile();
  ~CCaptureFile() override;

  using CCaptureFileBase::GetSizeOfFrames;

  // A temporary file in the boot project folder.
  HRESULT Create(DWORD cbMaxSize) override;
  HRESULT Create(DWORD cbMaxSize, const char* szFolder, const char* szFileName,
                 bool bTemporary) override;
  // Adopts an open file and the caller's reference to it, reading the frames its header
  // describes. On failure the caller keeps its reference.
  virtual HRESULT Create(IVxFileStream* pFileStream, bool bTemporary);

  HRESULT Clear(bool bResetTable) override;
  HRESULT WriteFrame(const void* pFrame, DWORD cbFrame) override;
  // The entries must already be the offsets the frames get in this file.
  HRESULT WriteFrames(IVxStream* pTableStream, DWORD cbTable, IVxStream* pFrameStream,
                      DWORD cbFrames) override;
  // Appends nFrames frames (-1: all, with nStartFrame 0) of another capture file; a range
  // that runs past the source's end is cut there.
  virtual HRESULT WriteFrames(CCaptureFile* pCaptureFile, LONG nStartFrame, LONG nFrames);

  IVxStream* GetFrameStream() override { return m_pFileStream; }
  DWORD GetSize() override;
  DWORD GetFramePosition() override { return m_cbFrames + m_cbHeader; }
  DWORD GetFrameOffset(LONG nPos) override;
  HRESULT SetFrameOffset(LONG nPos, DWORD nOffset) override;

  // A file whose path was removed or replaced while it was open is first written again: under
  // its path when that is free, else beside it (TakeNotice says where).
  HRESULT CloseFile() override;
  const char* LostFilePath() override;
  // Reopens a closed file read-only.
  virtual HRESULT OpenFile();
  HRESULT Truncate() override;
  // Keeps frames 0 ... nEndFrame.
  virtual HRESULT Truncate(LONG nEndFrame);
  HRESULT SaveCaptureAs(const char* szFileName, bool bBootPath, LONG nStartFrame,
                        LONG nFrames) override;
  HRESULT GetFileName(DWORD dwBufferLength, char* szFileName) override;
  HRESULT OnOverflow(LONG& nOverflowFrames, DWORD& cbOverflowFrames) override;
  HRESULT GetSizeOfFrames(DWORD& cbFrames) override;

  virtual HRESULT SetTemporary(bool bTemporary);
  // Renames the closed file within its folder.
  virtual HRESULT Rename(const char* szFileName);
  virtual HRESULT WriteHeader();
  virtual HRESULT ReadHeader();
  virtual HRESULT AddFrameToTable(DWORD nOffset);
  // Moves the table up by cbFrames and appends cbTable bytes of entries read from
  // pTableStream, each shifted up (bPosShift) or down by cbShift. The caller fills the gap
  // with the records.
  virtual HRESULT AddFramesToTable(IVxStream* pTableStream, DWORD cbTable, DWORD cbFrames,
                                   DWORD cbShift, bool bPosShift);

  // vxcap::GetBootPrjPath: the boot project folder into szBootPath (dwCount characters, the
  // rest zero-filled). Returns 0, 2 when it cannot be read, 234 when it does not fit with its
  // terminating zero.
  static DWORD GetBootPrjPath(char* szBootPath, DWORD dwCount);

 protected:
  static constexpr LONG kTableCacheEntries = 250;

  bool IsWritable() const { return m_bCreated && m_pFileStream && !m_bClosed; }
  void DropCache() { m_nTmpFrames = 0; }
  HRESULT ReserveTail(ULONGLONG cbNeeded);
  // Space for the whole file, claimed once at creation where the file system can.
  void ReserveFile(DWORD cbSize);
  HRESULT WriteZeros(ULONGLONG from, ULONGLONG to);
  HRESULT MoveTableUp(DWORD cbFrames, DWORD cbNewEntries);
  void MoveTableBack(DWORD nOldTableOffset);
  HRESULT CommitAppend(DWORD cbFrames, LONG nFrames, DWORD nOldTableOffset);
  // Copies cb bytes of pFrom into the file at its current position.
  HRESULT WriteFromStream(IVxStream* pFrom, DWORD cb);
  // Stores szPath; its name starts namePos characters in.
  void SetPath(const char* szPath, size_t namePos);
  // Remembers which file the open stream is, so that a path that no longer names it is seen.
  void NoteIdentity();
  // The path names the file this object wrote (true as well when that cannot be known).
  bool IsAtPath();
  // The path no longer names the open file: what it holds goes into a new file there, or
  // beside it when another file took the name, and the object goes on with that file.
  HRESULT WriteBack();

  IVxFileStream* m_pFileStream = nullptr;
  char m_szFilePath[kMaxPath + 1] = {};
  char* m_szFileName = m_szFilePath;
  DWORD m_cbFrames = 0;
  DWORD m_cbHeader = 128;
  DWORD m_nTableOffset = 128;
  // The file's first bytes whose disk space is claimed and that exist: appends below this end
  // need no space of their own.
  ULONGLONG m_cbReserved = 0;
  // The end of what the file has held since it was created: the bytes behind it are zeros.
  ULONGLONG m_cbTouched = ~0ull;
  SYSTEMTIME m_timeStamp = {};
  DWORD* m_pTmpTable = nullptr;
  LONG m_nTmpFrames = 0;
  LONG m_nTmpStartFrame = 0;
  OS_USER_FILE_ID m_identity = {};
  bool m_bHasIdentity = false;
  bool m_bClosed = false;
  bool m_bCreated = false;
  bool m_bTemporary = true;
};
