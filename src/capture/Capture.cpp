#include "capture/Capture.h"

#include <algorithm>
#include <new>

#include "capture/CaptureFormat.h"

HRESULT CCapture::ReadAll(IVxStream* s, BYTE* p, DWORD cb, DWORD* got) {
  *got = 0;
  while (*got < cb) {
    ULONG n = 0;
    HRESULT hr = s->Read(p + *got, cb - *got, &n);
    if (FAILED(hr)) return hr;
    if (n == 0) break;
    *got += n;
  }
  return S_OK;
}

ULONGLONG CCapture::FrameEndOffset(LONG nPos) {
  if (nPos + 1 < m_nFrames) return GetFrameOffset(nPos + 1);
  return static_cast<ULONGLONG>(GetFramePosition()) + m_nStartOffset;
}

// Offsets come from the table, which for a file is read from disk; every difference is
// checked before it becomes a length, so a damaged table fails the read instead of sizing
// it.
HRESULT CCapture::ReadFrames(DWORD cbSize, BYTE* pData, LONG nStartFrame, LONG nFrames,
                             DWORD& cbFramesRead, LONG& nFramesRead,
                             TIncompleteFrame& incompleteFrame) {
  cbFramesRead = 0;
  nFramesRead = 0;
  IVxStream* s = GetFrameStream();
  if (!IsFrameInTable(nStartFrame) || !s || cbSize == 0 || !pData || nFrames < 0) return E_FAIL;
  DWORD saved = 0;
  HRESULT hr = s->GetPosition(&saved);
  if (FAILED(hr)) return hr;

  const LONG p = nStartFrame - m_nStartFrame;
  const LONG avail = m_nFrames - p;
  const LONG count = std::min(nFrames, avail);
  const ULONGLONG first = GetFrameOffset(p);
  const ULONGLONG end =
      nFrames < avail ? GetFrameOffset(p + nFrames) : FrameEndOffset(m_nFrames - 1);

  hr = E_FAIL;
  if (end >= first && first >= m_nStartOffset) {
    const ULONGLONG planned = end - first;
    LONG framesRead = count;
    TIncompleteFrame pending = {0, 0};
    bool ok = true;
    DWORD toRead = cbSize;
    if (planned <= cbSize) {
      toRead = static_cast<DWORD>(planned);
    } else {
      const LONG k = GetTablePos(cbSize - 1, p);
      const ULONGLONG start = GetFrameOffset(k);
      const ULONGLONG stop = FrameEndOffset(k);
      const ULONGLONG bufEnd = first + cbSize;
      ok = k >= p && start < bufEnd && stop >= bufEnd && stop - start <= 0xFFFFFFFFull;
      if (ok) {
        pending.cbSize = static_cast<DWORD>(stop - start);
        pending.cbLeft = static_cast<DWORD>(stop - bufEnd);
        framesRead = k - p;
        if (pending.cbLeft == 0) {
          pending.cbSize = 0;
          ++framesRead;
        }
      }
    }
    if (ok) {
      hr = s->SetPosition(static_cast<DWORD>(first - m_nStartOffset));
      DWORD got = 0;
      if (SUCCEEDED(hr) && toRead) hr = ReadAll(s, pData, toRead, &got);
      if (SUCCEEDED(hr) && got == toRead) {
        cbFramesRead = got;
        nFramesRead = framesRead;
        incompleteFrame = pending;
        hr = S_OK;
      } else if (SUCCEEDED(hr)) {
        hr = E_FAIL;
      }
    }
  }
  HRESULT restored = s->SetPosition(saved);
  return FAILED(hr) ? hr : restored;
}

HRESULT CCapture::ReadIncompleteFrame(DWORD cbSize, BYTE* pData, LONG nStartFrame, DWORD& cbRead,
                                      TIncompleteFrame& incompleteFrame) {
  cbRead = 0;
  if (!IsFrameInTable(nStartFrame)) return E_FAIL;
  IVxStream* s = GetFrameStream();
  if (!s || !pData) return E_FAIL;
  DWORD saved = 0;
  HRESULT hr = s->GetPosition(&saved);
  if (FAILED(hr)) return hr;

  const LONG p = nStartFrame - m_nStartFrame;
  const DWORD n = std::min(cbSize, incompleteFrame.cbLeft);
  if (n > 0 && incompleteFrame.cbLeft <= incompleteFrame.cbSize) {
    const ULONGLONG start =
        static_cast<ULONGLONG>(GetFrameOffset(p)) + incompleteFrame.cbSize - incompleteFrame.cbLeft;
    // The pending bytes must lie inside this frame's record.
    if (start >= m_nStartOffset && start + n <= FrameEndOffset(p) &&
        SUCCEEDED(s->SetPosition(static_cast<DWORD>(start - m_nStartOffset)))) {
      DWORD got = 0;
      if (SUCCEEDED(ReadAll(s, pData, n, &got)) && got == n) {
        cbRead = n;
        incompleteFrame.cbLeft -= n;
      }
    }
  }
  return s->SetPosition(saved);
}

HRESULT CCapture::GetSizeOfFrames(LONG nStartFrame, LONG nFrames, DWORD& cbFrames) {
  IVxStream* s = GetFrameStream();
  if (!IsFrameInTable(nStartFrame) || !s || nFrames < 0) return E_FAIL;
  DWORD saved = 0;
  HRESULT hr = s->GetPosition(&saved);
  if (FAILED(hr)) return hr;
  const LONG p = nStartFrame - m_nStartFrame;
  const ULONGLONG first = GetFrameOffset(p);
  const ULONGLONG end =
      nFrames < m_nFrames - p ? GetFrameOffset(p + nFrames) : FrameEndOffset(m_nFrames - 1);
  s->SetPosition(saved);
  // A damaged table must not announce a run larger than the records the capture holds: the
  // size is allocated by ReadFrame and copied by the file copies.
  const ULONGLONG recordsEnd = static_cast<ULONGLONG>(GetFramePosition()) + m_nStartOffset;
  if (end < first || first < m_nStartOffset || end > recordsEnd || end - first > 0xFFFFFFFFull)
    return E_FAIL;
  cbFrames = static_cast<DWORD>(end - first);
  return S_OK;
}

LONG CCapture::GetTablePos(DWORD nOffset, LONG nStartPos) {
  if (nStartPos < 0 || nStartPos >= m_nFrames) return nStartPos;
  const ULONGLONG target = static_cast<ULONGLONG>(GetFrameOffset(nStartPos)) + nOffset;
  LONG lo = nStartPos;
  LONG count = m_nFrames - nStartPos;
  while (count > 1) {
    const LONG half = count / 2;
    const LONG mid = lo + half;
    const DWORD e = GetFrameOffset(mid);
    if (e == target) return mid;
    if (e > target) {
      count = half;
      continue;
    }
    if (mid == m_nFrames - 1 || GetFrameOffset(mid + 1) > target) return mid;
    count = lo + count - (mid + 1);
    lo = mid + 1;
  }
  return lo;
}

HRESULT CCapture::ReadFrame(LONG nIndex, BYTE** ppFrame, DWORD* pcbFrame) {
  if (!ppFrame) return E_POINTER;
  *ppFrame = nullptr;
  DWORD cb = 0;
  HRESULT hr = GetSizeOfFrames(nIndex, 1, cb);
  if (FAILED(hr)) return hr;
  BYTE* buf = new (std::nothrow) BYTE[cb ? cb : 1];
  if (!buf) return E_OUTOFMEMORY;
  *ppFrame = buf;
  DWORD cbRead = 0;
  LONG nRead = 0;
  TIncompleteFrame pending = {0, 0};
  hr = ReadFrames(cb, buf, nIndex, 1, cbRead, nRead, pending);
  if (FAILED(hr)) return hr;
  // A damaged record must not announce more MacFrame bytes than the array holds.
  if (cb >= vxcap::kRecordHeadSize) {
    const DWORD room = cb - vxcap::kRecordHeadSize;
    if (vx::DecodeLE32(buf + vxcap::kRecBytesAvail) > room)
      vx::EncodeLE32(buf + vxcap::kRecBytesAvail, room);
  }
  if (pcbFrame) *pcbFrame = cb;
  return hr;
}

HRESULT CCapture::ReadFrame(LONG nIndex, DWORD cbFrame, BYTE* pFrame, DWORD* pcbFrame) {
  DWORD cbRead = 0;
  LONG nRead = 0;
  TIncompleteFrame pending = {0, 0};
  HRESULT hr = ReadFrames(cbFrame, pFrame, nIndex, 1, cbRead, nRead, pending);
  if (SUCCEEDED(hr) && pcbFrame) *pcbFrame = pending.cbSize ? pending.cbSize : cbRead;
  return hr;
}
