#include "capture/CaptureView.h"

#include <algorithm>

namespace {

// A renumbering between reading the state and reading the frames makes a packet start over;
// the ring drops frames at most once per filled file, so a few tries always suffice unless
// the capture is misconfigured.
constexpr int kMaxAttempts = 8;

}  // namespace

CCaptureView::CCaptureView(CCaptureMngt* pCapture) : m_pCapture(pCapture) {
  Reset();
}

void CCaptureView::Reset() {
  m_packetInfo = {};
  m_bPacketsLeft = false;
  m_pCapture->GetCaptureInfo(m_nFramesRead, m_cbFramesRead, m_nOverflowCount, m_nDroppedFrames,
                             m_cbDroppedFrames);
}

CCaptureView::TCursor CCaptureView::SaveCursor() const {
  return {m_packetInfo,     m_nId,
          m_bPacketsLeft,   m_nFramesRead,
          m_cbFramesRead,   m_nOverflowCount,
          m_nDroppedFrames, m_cbDroppedFrames};
}

void CCaptureView::RestoreCursor(const TCursor& c) {
  m_packetInfo = c.packetInfo;
  m_nId = c.nId;
  m_bPacketsLeft = c.bPacketsLeft;
  m_nFramesRead = c.nFramesRead;
  m_cbFramesRead = c.cbFramesRead;
  m_nOverflowCount = c.nOverflowCount;
  m_nDroppedFrames = c.nDroppedFrames;
  m_cbDroppedFrames = c.cbDroppedFrames;
}

HRESULT CCaptureView::GetUnreadFrames(void* pPacket, DWORD cbPacket) {
  if (!pPacket || cbPacket <= vxcap::kPacketHeaderSize) return E_FAIL;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    const TCursor saved = SaveCursor();
    bool retry = false;
    const HRESULT hr = BuildPacket(static_cast<BYTE*>(pPacket), cbPacket, retry);
    if (!retry) return hr;
    RestoreCursor(saved);
  }
  return E_FAIL;
}

// The shift applied after overflows is that of all overflows since the last call (the
// manager's totals), not only the most recent one: after two drops the most recent alone
// would leave the cursor on the wrong frames.
HRESULT CCaptureView::BuildPacket(BYTE* pPacket, DWORD cbPacket, bool& bRetry) {
  LONG nFrames = 0;
  DWORD cbFrames = 0;
  DWORD nOverflowCount = 0;
  LONGLONG nDropped = 0;
  ULONGLONG cbDropped = 0;
  m_pCapture->GetCaptureInfo(nFrames, cbFrames, nOverflowCount, nDropped, cbDropped);

  bool pending = m_bPacketsLeft;
  if (nOverflowCount != m_nOverflowCount) {
    LONGLONG f = nDropped - m_nDroppedFrames;
    ULONGLONG b = cbDropped - m_cbDroppedFrames;
    // Totals that went back belong to a new capture: nothing to renumber.
    if (f < 0 || cbDropped < m_cbDroppedFrames) {
      f = 0;
      b = 0;
    }
    m_nOverflowCount = nOverflowCount;
    m_nDroppedFrames = nDropped;
    m_cbDroppedFrames = cbDropped;
    if (pending && m_packetInfo.nStartFrame < f) {
      pending = false;
      m_bPacketsLeft = false;
      m_nFramesRead = 0;
      m_cbFramesRead = 0;
    } else if (!pending && m_nFramesRead < f) {
      m_nFramesRead = 0;
      m_cbFramesRead = 0;
    } else {
      if (pending) m_packetInfo.nStartFrame -= static_cast<LONG>(f);
      m_nFramesRead -= static_cast<LONG>(f);
      m_cbFramesRead -= static_cast<DWORD>(b);
    }
  }

  if (!pending) {
    if (nFrames < m_nFramesRead) return E_FAIL;
    if (nFrames == m_nFramesRead) return S_FALSE;
    ++m_nId;
    m_packetInfo = {m_nId, 0, m_nFramesRead, cbFrames - m_cbFramesRead, nFrames - m_nFramesRead,
                    {0, 0}};
    m_nFramesRead = nFrames;
    m_cbFramesRead = cbFrames;
  }

  TCapturePacketHdr hdr = {};
  hdr.nId = m_packetInfo.nId;
  hdr.nPacket = m_packetInfo.nPacket++;
  m_bPacketsLeft = false;
  const HRESULT hrFill =
      FillPacket(pPacket + vxcap::kPacketHeaderSize, cbPacket - vxcap::kPacketHeaderSize, hdr);

  LONG nFramesNow = 0;
  DWORD cbFramesNow = 0;
  DWORD nOverflowNow = 0;
  m_pCapture->GetCaptureInfo(nFramesNow, cbFramesNow, nOverflowNow);
  if (nOverflowNow != nOverflowCount) {
    bRetry = true;
    return E_FAIL;
  }
  if (FAILED(hrFill)) return hrFill;

  const TPacketInfo& seq = m_packetInfo;
  hdr.cbLeft = seq.cbLeft;
  // A sequence whose bytes and frames do not run out together would hand out a cut record.
  if (seq.cbLeft == 0 ? seq.nFramesLeft != 0 || seq.incompleteFrame.cbSize != 0
                      : seq.nFramesLeft <= 0)
    return E_FAIL;
  m_bPacketsLeft = seq.cbLeft != 0;
  vxcap::EncodeCapturePacketHdr(pPacket, hdr);
  return S_OK;
}

HRESULT CCaptureView::FillPacket(BYTE* pData, DWORD room, TCapturePacketHdr& hdr) {
  TPacketInfo& seq = m_packetInfo;
  TIncompleteFrame& incomplete = seq.incompleteFrame;
  DWORD used = 0;
  if (incomplete.cbSize != 0) {
    const DWORD want = std::min(room, incomplete.cbLeft);
    DWORD cbRead = 0;
    HRESULT hr = m_pCapture->ReadIncompleteFrame(room, pData, seq.nStartFrame, cbRead, incomplete);
    // A short read would splice the next record onto a cut one.
    if (FAILED(hr) || cbRead != want || cbRead > seq.cbLeft) return E_FAIL;
    seq.cbLeft -= cbRead;
    used = cbRead;
    hdr.cbData = cbRead;
    if (incomplete.cbLeft != 0) return S_OK;  // the packet holds a middle part only
    ++seq.nStartFrame;
    --seq.nFramesLeft;
    incomplete.cbSize = 0;
    ++hdr.nFrames;
    if (seq.nFramesLeft == 0 || used == room) return S_OK;
  }
  if (seq.nFramesLeft <= 0) return S_OK;

  DWORD cb = 0;
  LONG n = 0;
  HRESULT hr = m_pCapture->ReadFrames(room - used, pData + used, seq.nStartFrame, seq.nFramesLeft,
                                      cb, n, incomplete);
  if (FAILED(hr) || cb > seq.cbLeft || n > seq.nFramesLeft || n < 0) return E_FAIL;
  seq.cbLeft -= cb;
  seq.nFramesLeft -= n;
  seq.nStartFrame += n;
  hdr.cbData += cb;
  hdr.nFrames += n;
  hdr.cbIncomplete = incomplete.cbSize;
  return S_OK;
}
