#include "nmx/KrpArchive.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "os/ByteOrder.h"
#include "os/OsUserTools.h"

using vx::DecodeLE16;
using vx::DecodeLE32;
using vx::DecodeLE64;
using vx::EncodeLE16;
using vx::EncodeLE32;
using vx::EncodeLE64;

struct CR3TpArchiveImpl {
  COsUserLock lock;
};

// ---- CKrpArchive ------------------------------------------------------------------------

CKrpArchive::CKrpArchive(int mode)
    : m_nMode(mode),
      m_nBufSize(0),
      m_lpBufCur(nullptr),
      m_lpBufMax(nullptr),
      m_lpBufStart(nullptr),
      m_nError(0) {}

CKrpArchive::~CKrpArchive() = default;

DWORD CKrpArchive::Write(const void* data, DWORD n) {
  const BYTE* src = static_cast<const BYTE*>(data);
  DWORD done = 0;
  while (done < n && m_nError == 0) {
    DWORD space = static_cast<DWORD>(m_lpBufMax - m_lpBufCur);
    DWORD chunk = n - done < space ? n - done : space;
    if (chunk != 0) {
      memcpy(m_lpBufCur, src + done, chunk);
      m_lpBufCur += chunk;
      done += chunk;
    }
    if (done < n) {
      OnBufferFull();
      // A buffer that did not grow would make this loop spin forever.
      if (m_nError == 0 && m_lpBufCur == m_lpBufMax) m_nError = static_cast<LONG>(KRP_E_NO_MEMORY);
    }
  }
  return done;
}

DWORD CKrpArchive::Read(void* data, DWORD n) {
  BYTE* dest = static_cast<BYTE*>(data);
  DWORD done = 0;
  while (done < n && m_nError == 0) {
    DWORD avail = static_cast<DWORD>(m_lpBufMax - m_lpBufCur);
    DWORD chunk = n - done < avail ? n - done : avail;
    if (chunk != 0) {
      if (dest != nullptr) memcpy(dest + done, m_lpBufCur, chunk);
      m_lpBufCur += chunk;
      done += chunk;
    }
    if (done < n) {
      OnBufferEmpty();
      if (m_nError == 0 && m_lpBufCur == m_lpBufMax) m_nError = static_cast<LONG>(KRP_E_NO_MEMORY);
    }
  }
  return done;
}

namespace {

template <size_t N>
bool ReadExact(CKrpArchive& ar, BYTE (&buf)[N]) {
  return ar.Read(buf, N) == N;
}

}  // namespace

CKrpArchive& CKrpArchive::operator<<(int v) {
  return *this << static_cast<unsigned int>(v);
}
CKrpArchive& CKrpArchive::operator<<(unsigned int v) {
  BYTE b[4];
  EncodeLE32(b, v);
  Write(b, sizeof b);
  return *this;
}
CKrpArchive& CKrpArchive::operator<<(unsigned char v) {
  Write(&v, 1);
  return *this;
}
CKrpArchive& CKrpArchive::operator<<(char v) {
  return *this << static_cast<unsigned char>(v);
}
CKrpArchive& CKrpArchive::operator<<(short v) {
  return *this << static_cast<unsigned short>(v);
}
CKrpArchive& CKrpArchive::operator<<(unsigned short v) {
  BYTE b[2];
  EncodeLE16(b, v);
  Write(b, sizeof b);
  return *this;
}
CKrpArchive& CKrpArchive::operator<<(float v) {
  return *this << std::bit_cast<unsigned int>(v);
}
CKrpArchive& CKrpArchive::operator<<(double v) {
  return *this << std::bit_cast<long long>(v);
}
CKrpArchive& CKrpArchive::operator<<(bool v) {
  return *this << static_cast<unsigned char>(v ? 1 : 0);
}
CKrpArchive& CKrpArchive::operator<<(long long v) {
  BYTE b[8];
  EncodeLE64(b, static_cast<uint64_t>(v));
  Write(b, sizeof b);
  return *this;
}
CKrpArchive& CKrpArchive::operator<<(KrpDataTypeId v) {
  return *this << static_cast<unsigned int>(v);
}

CKrpArchive& CKrpArchive::operator>>(int& v) {
  unsigned int u;
  *this >> u;
  v = static_cast<int>(u);
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(unsigned int& v) {
  BYTE b[4];
  v = ReadExact(*this, b) ? DecodeLE32(b) : 0;
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(unsigned char& v) {
  BYTE b[1];
  v = ReadExact(*this, b) ? b[0] : 0;
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(char& v) {
  unsigned char u;
  *this >> u;
  v = static_cast<char>(u);
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(short& v) {
  unsigned short u;
  *this >> u;
  v = static_cast<short>(u);
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(unsigned short& v) {
  BYTE b[2];
  v = ReadExact(*this, b) ? DecodeLE16(b) : 0;
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(float& v) {
  unsigned int u;
  *this >> u;
  v = std::bit_cast<float>(u);
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(double& v) {
  long long u;
  *this >> u;
  v = std::bit_cast<double>(u);
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(bool& v) {
  unsigned char u;
  *this >> u;
  v = u != 0;
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(long long& v) {
  BYTE b[8];
  v = ReadExact(*this, b) ? static_cast<long long>(DecodeLE64(b)) : 0;
  return *this;
}
CKrpArchive& CKrpArchive::operator>>(KrpDataTypeId& v) {
  unsigned int u;
  *this >> u;
  v = static_cast<KrpDataTypeId>(u);
  return *this;
}

CKrpArchive::operator const void*() const {
  return m_lpBufStart;
}
BOOL CKrpArchive::IsStoring() const {
  return (m_nMode & store) != 0;
}
BOOL CKrpArchive::IsLoading() const {
  return (m_nMode & load) != 0;
}
LONG CKrpArchive::GetResult() const {
  return m_nError;
}

BOOL CKrpArchive::BufferEmpty() const {
  return IsStoring() ? m_lpBufCur == m_lpBufStart : m_lpBufCur == m_lpBufMax;
}

LONG CKrpArchive::GetDataSize() const {
  return static_cast<LONG>(m_lpBufCur - m_lpBufStart);
}

// ---- CR3TpArchive -----------------------------------------------------------------------

CR3TpArchive::CR3TpArchive(IKrpArchiveSource* inOut, int mode, DWORD bufferSize)
    : CKrpArchive(mode), m_lpInOut(inOut), m_pImpl(new CR3TpArchiveImpl) {
  // calloc(0) may give null; one spare byte keeps an empty archive distinct from a failed one.
  m_lpBufStart = static_cast<BYTE*>(calloc(bufferSize != 0 ? bufferSize : 1, 1));
  if (m_lpBufStart == nullptr) {
    m_nError = static_cast<LONG>(KRP_E_NO_MEMORY);
    m_lpInOut = nullptr;
    return;
  }
  m_nBufSize = bufferSize;
  m_lpBufMax = m_lpBufStart + bufferSize;
  m_lpBufCur = IsStoring() ? m_lpBufStart : m_lpBufMax;
}

CR3TpArchive::~CR3TpArchive() {
  if (IsStoring() && (m_nMode & bNoFlushOnDelete) == 0) CR3TpArchive::Flush();
  free(m_lpBufStart);
  delete m_pImpl;
}

void CR3TpArchive::Flush() {
  m_lpBufCur = m_lpBufStart;
  m_nError = 0;
}

LONG CR3TpArchive::ReadBuffer() {
  if (m_lpInOut == nullptr || m_lpBufStart == nullptr) {
    m_nError = static_cast<LONG>(KRP_E_NO_MEMORY);
    return m_nError;
  }
  DWORD tail = static_cast<DWORD>(m_lpBufMax - m_lpBufCur);
  if (tail != 0) memmove(m_lpBufStart, m_lpBufCur, tail);
  DWORD got = 0;
  if (m_nBufSize > tail) got = m_lpInOut->ReadSource(m_lpBufStart + tail, m_nBufSize - tail);
  if (got > m_nBufSize - tail) got = m_nBufSize - tail;  // never trust a count beyond the room
  m_lpBufCur = m_lpBufStart;
  m_lpBufMax = m_lpBufStart + tail + got;
  if (got == 0) m_nError = static_cast<LONG>(KRP_E_NO_MEMORY);
  return m_nError;
}

void CR3TpArchive::OnBufferEmpty() {
  ReadBuffer();
}

void CR3TpArchive::OnBufferFull() {
  COsCsLock guard(m_pImpl->lock);
  LONG data = GetDataSize();
  if (m_nBufSize < 1 || m_nBufSize > 0x7FFFFFFFu || data < 0 ||
      static_cast<DWORD>(data) > m_nBufSize) {
    m_nError = static_cast<LONG>(KRP_E_NO_MEMORY);
    return;
  }
  DWORD size = m_nBufSize * 2;
  BYTE* grown = static_cast<BYTE*>(calloc(size, 1));
  if (grown == nullptr) {
    m_nError = static_cast<LONG>(KRP_E_NO_MEMORY);
    return;
  }
  DWORD keep =
      IsStoring() ? static_cast<DWORD>(data) : static_cast<DWORD>(m_lpBufMax - m_lpBufStart);
  memcpy(grown, m_lpBufStart, keep);
  free(m_lpBufStart);
  m_lpBufStart = grown;
  m_nBufSize = size;
  m_lpBufMax = grown + size;
  m_lpBufCur = IsStoring() ? grown + data : m_lpBufMax;
}
