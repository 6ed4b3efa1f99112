// A viewer's read cursor into the running capture.
#pragma once

#include "capture/Capture.h"
#include "capture/CaptureMngt.h"
#include "capture/CapturePacket.h"
#include "os/OsTypes.h"

// The state of the packet sequence being delivered.
typedef struct _TPacketInfo {
  WORD nId;
  WORD nPacket;                      // number of the next packet
  LONG nStartFrame;                  // next frame to deliver
  DWORD cbLeft;                      // record bytes not yet delivered
  LONG nFramesLeft;                  // frames not yet completely delivered
  TIncompleteFrame incompleteFrame;  // the record only partly delivered
} TPacketInfo, *PTPacketInfo;

// Each call hands out the frames captured since the previous sequence, packed into packets of
// the caller's size; a record that does not fit is continued in the next packet. A sequence is
// the set of frames unread when it began. When the ring drops old frames the cursor follows
// the renumbering; undelivered frames that were dropped restart the delivery at the oldest
// frame held, under a new sequence id.
//
// Not locked: the user serialises all calls on one view. The manager is not owned and must
// outlive the view.
class CCaptureView {
 public:
  // Starts at the current end of the capture: only frames captured later are delivered.
  // pCapture must not be null.
  explicit CCaptureView(CCaptureMngt* pCapture);
  virtual ~CCaptureView() = default;
  CCaptureView(const CCaptureView&) = delete;
  CCaptureView& operator=(const CCaptureView&) = delete;

  // Drops a pending sequence and moves to the current end of the capture.
  void Reset();
  DWORD GetNotificationHandle() const { return m_hNotification; }
  void SetNotificationHandle(DWORD hNotification) { m_hNotification = hNotification; }

  // Fills the cbPacket-byte buffer pPacket (a TCapturePacket) with the next packet. S_OK a
  // packet was built; S_FALSE no unread frames (the buffer is untouched); E_FAIL cbPacket below
  // 25, the capture holds fewer frames than were read (restarted without Reset), or a read
  // failed or did not add up (the pending sequence is dropped).
  HRESULT GetUnreadFrames(void* pPacket, DWORD cbPacket);

 private:
  struct TCursor {
    TPacketInfo packetInfo;
    WORD nId;
    bool bPacketsLeft;
    LONG nFramesRead;
    DWORD cbFramesRead;
    DWORD nOverflowCount;
    LONGLONG nDroppedFrames;
    ULONGLONG cbDroppedFrames;
  };
  TCursor SaveCursor() const;
  void RestoreCursor(const TCursor& c);
  // One try at a packet with the capture state read at its start; bRetry is set when frames
  // were renumbered meanwhile, so that what was read may belong to other frames.
  HRESULT BuildPacket(BYTE* pPacket, DWORD cbPacket, bool& bRetry);
  // The reads of one packet into pData (room bytes); fills the header's data fields.
  HRESULT FillPacket(BYTE* pData, DWORD room, TCapturePacketHdr& hdr);

  CCaptureMngt* m_pCapture;
  TPacketInfo m_packetInfo = {};
  WORD m_nId = 0;
  bool m_bPacketsLeft = false;
  LONG m_nFramesRead = 0;
  DWORD m_cbFramesRead = 0;
  DWORD m_nOverflowCount = 0;
  DWORD m_hNotification = 0;
  // The manager's totals of dropped frames and bytes as last seen.
  LONGLONG m_nDroppedFrames = 0;
  ULONGLONG m_cbDroppedFrames = 0;
};
