#include "capture/RingBufferFile.h"

#include "capture/CaptureFormat.h"
#include "capture/CapturePath.h"

bool CRingBufferFile::HoldsRingFrame(LONG nRingFrame) {
  return nRingFrame >= m_nBufferStartFrame &&
         static_cast<LONGLONG>(nRingFrame) <
             static_cast<LONGLONG>(m_nBufferStartFrame) + GetFrameCount();
}

DWORD CRingBufferFile::GetBytesLeft() {
  const DWORD used = GetSize();
  return used < m_cbMaxSize ? m_cbMaxSize - used : 0;
}

void CRingBufferFile::SetMovedPath(const char* szPath) {
  SetPath(szPath, vxcap::NamePos(szPath));
}

HRESULT CRingBufferFile::ReadTableEntries(LONG nPos, LONG n, DWORD* pEntries) {
  if (!m_pFileStream || !pEntries || nPos < 0 || n < 0 || n > m_nFrames - nPos) return E_FAIL;
  DWORD saved = 0;
  HRESULT hr = m_pFileStream->GetPosition(&saved);
  if (FAILED(hr)) return hr;
  hr = m_pFileStream->SetPosition(m_nTableOffset + static_cast<DWORD>(nPos) * 4);
  BYTE raw[1024];
  for (LONG done = 0; SUCCEEDED(hr) && done < n;) {
    const LONG chunk = n - done < 256 ? n - done : 256;
    DWORD got = 0;
    hr = ReadAll(m_pFileStream, raw, static_cast<DWORD>(chunk) * 4, &got);
    if (SUCCEEDED(hr) && got != static_cast<DWORD>(chunk) * 4) hr = E_FAIL;
    for (LONG i = 0; SUCCEEDED(hr) && i < chunk; ++i)
      pEntries[done + i] = vxcap::DecodeTableEntry(raw + 4 * i);
    done += chunk;
  }
  const HRESULT restored = m_pFileStream->SetPosition(saved);
  return FAILED(hr) ? hr : restored;
}
