#include "capture/CaptureMem.h"

#include "capture/CaptureFormat.h"

namespace {

constexpr DWORD kTableInitialSize = 4096;
constexpr DWORD kTableGrowth = 4096;

}  // namespace

CCaptureMem::CCaptureMem() {
  m_nStartOffset = vxcap::kHeaderSize;
}

CCaptureMem::~CCaptureMem() {
  if (m_pFrameStream) m_pFrameStream->Release();
  if (m_pTableStream) m_pTableStream->Release();
}

HRESULT CCaptureMem::Create(DWORD cbMaxSize) {
  if (m_pFrameStream || m_pTableStream) return E_FAIL;
  m_cbMaxSize = cbMaxSize;
  HRESULT hr = CVxMemoryStream::CreateMemoryStream(cbMaxSize, &m_pFrameStream);
  if (FAILED(hr)) return hr;
  HRESULT hrTable =
      CVxMemoryStream::CreateGrowableMemoryStream(kTableInitialSize, &m_pTableStream, kTableGrowth);
  if (FAILED(hrTable)) {
    m_pFrameStream->Release();
    m_pFrameStream = nullptr;
    return hrTable;
  }
  return hr;
}

HRESULT CCaptureMem::Clear(bool bResetTable) {
  if (!m_pFrameStream || !m_pTableStream) return E_FAIL;
  if (bResetTable) {
    m_nStartOffset = 0;
    m_nStartFrame = 0;
  } else {
    DWORD stored = 0;
    m_pFrameStream->GetPosition(&stored);
    m_nStartOffset += stored;
    m_nStartFrame += m_nFrames;
  }
  m_nFrames = 0;
  m_nCurPos = 0;
  m_pTableStream->SetPosition(0);
  return m_pFrameStream->SetPosition(0);
}

// The table entry is added only after the record is stored, and a failed entry takes the
// record back out, so the table never refers to missing bytes and no bytes hang behind the
// last entry.
HRESULT CCaptureMem::WriteFrame(const void* pFrame, DWORD cbFrame) {
  if (!m_pFrameStream || !m_pTableStream || !pFrame || cbFrame == 0) return E_FAIL;
  if (static_cast<ULONGLONG>(m_nCurPos) + cbFrame > m_cbMaxSize) return E_FAIL;
  DWORD q = 0;
  HRESULT hr = m_pFrameStream->GetPosition(&q);
  if (FAILED(hr)) return hr;
  const ULONGLONG offset = static_cast<ULONGLONG>(q) + m_nStartOffset;
  if (offset > 0xFFFFFFFFull) return E_FAIL;
  hr = m_pFrameStream->Write(pFrame, cbFrame, nullptr);
  if (FAILED(hr)) return hr;
  m_pFrameStream->GetPosition(&m_nCurPos);
  hr = AddFrameToTable(static_cast<DWORD>(offset));
  if (FAILED(hr)) {
    m_pFrameStream->SetPosition(q);
    m_nCurPos = q;
  }
  return hr;
}

HRESULT CCaptureMem::AddFrameToTable(DWORD nOffset) {
  if (!m_pTableStream) return E_FAIL;
  m_pTable = nullptr;
  BYTE entry[vxcap::kTableEntrySize];
  vxcap::EncodeTableEntry(entry, nOffset);
  HRESULT hr = m_pTableStream->Write(entry, sizeof entry, nullptr);
  if (SUCCEEDED(hr)) ++m_nFrames;
  return hr;
}

BYTE* CCaptureMem::Table() {
  if (!m_pTable && m_pTableStream) m_pTableStream->GetBuffer(&m_pTable);
  return m_pTable;
}

DWORD CCaptureMem::GetFrameOffset(LONG nPos) {
  BYTE* t = Table();
  if (!t || nPos < 0 || nPos >= m_nFrames) return 0;
  return vxcap::DecodeTableEntry(t + static_cast<size_t>(nPos) * vxcap::kTableEntrySize);
}

HRESULT CCaptureMem::SetFrameOffset(LONG nPos, DWORD nOffset) {
  BYTE* t = Table();
  if (!t || nPos < 0 || nPos >= m_nFrames) return E_FAIL;
  vxcap::EncodeTableEntry(t + static_cast<size_t>(nPos) * vxcap::kTableEntrySize, nOffset);
  return S_OK;
}

// Either both the entries and the records arrive whole or the buffer is left as it was.
HRESULT CCaptureMem::WriteFrames(IVxStream* pTableStream, DWORD cbTable, IVxStream* pFrameStream,
                                 DWORD cbFrames) {
  if (!pTableStream || !pFrameStream || !m_pFrameStream || !m_pTableStream) return E_FAIL;
  if (cbTable % vxcap::kTableEntrySize != 0) return E_FAIL;
  if (static_cast<ULONGLONG>(m_nCurPos) + cbFrames > m_cbMaxSize) return E_FAIL;
  DWORD tablePos = 0, framePos = 0;
  m_pTableStream->GetPosition(&tablePos);
  m_pFrameStream->GetPosition(&framePos);

  DWORD read = 0, written = 0;
  m_pTable = nullptr;
  HRESULT hr = pTableStream->CopyTo(m_pTableStream, cbTable, &read, &written);
  if (SUCCEEDED(hr) && written != cbTable) hr = E_FAIL;
  if (SUCCEEDED(hr)) {
    hr = pFrameStream->CopyTo(m_pFrameStream, cbFrames, &read, &written);
    if (SUCCEEDED(hr) && written != cbFrames) hr = E_FAIL;
  }
  if (FAILED(hr)) {
    m_pTableStream->SetPosition(tablePos);
    m_pFrameStream->SetPosition(framePos);
    return hr;
  }
  m_nFrames += static_cast<LONG>(cbTable / vxcap::kTableEntrySize);
  m_pFrameStream->GetPosition(&m_nCurPos);
  return S_OK;
}

HRESULT CCaptureMem::CopyTo(CCapture* pCapture, LONG nFrame, DWORD nTableOffsetShift) {
  if (!pCapture || !m_pFrameStream || !m_pTableStream) return E_FAIL;
  DWORD frameEnd = 0, tableEnd = 0;
  m_pFrameStream->GetPosition(&frameEnd);
  m_pTableStream->GetPosition(&tableEnd);
  const LONG r = nFrame - m_nStartFrame;
  if (nFrame < m_nStartFrame || r >= m_nFrames) return E_FAIL;
  const DWORD entry = GetFrameOffset(r);
  const DWORD tableStart = static_cast<DWORD>(r) * vxcap::kTableEntrySize;
  if (entry < m_nStartOffset || entry - m_nStartOffset > frameEnd || tableStart > tableEnd)
    return E_FAIL;
  const DWORD recordStart = entry - m_nStartOffset;
  const DWORD cbTable = tableEnd - tableStart;
  const DWORD cbFrames = frameEnd - recordStart;

  HRESULT hr = m_pFrameStream->SetPosition(recordStart);
  if (SUCCEEDED(hr) && nTableOffsetShift == 0) {
    m_pTableStream->SetPosition(tableStart);
    hr = pCapture->WriteFrames(m_pTableStream, cbTable, m_pFrameStream, cbFrames);
    m_pTableStream->SetPosition(tableEnd);
  } else if (SUCCEEDED(hr)) {
    IVxMemoryStream* shifted = nullptr;
    hr = CVxMemoryStream::CreateMemoryStream(cbTable, &shifted);
    if (SUCCEEDED(hr)) {
      BYTE* dst = nullptr;
      shifted->GetBuffer(&dst);
      const BYTE* src = Table() + tableStart;
      for (DWORD i = 0; i < cbTable; i += vxcap::kTableEntrySize)
        vxcap::EncodeTableEntry(dst + i, vxcap::DecodeTableEntry(src + i) + nTableOffsetShift);
      hr = pCapture->WriteFrames(shifted, cbTable, m_pFrameStream, cbFrames);
      shifted->Release();
    }
  }
  m_pFrameStream->SetPosition(frameEnd);
  return hr;
}
