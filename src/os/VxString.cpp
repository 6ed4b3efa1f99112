#include "os/VxString.h"

#include <ctype.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "os/OsUserTools.h"

namespace {

constexpr int kMaxLength = 0x7FFFFFFE;  // this length or more is refused

struct SEmptyString {
  CStringData header;
  char text[4];
};
SEmptyString s_empty = {{-1, 0, 0}, {0, 0, 0, 0}};
static_assert(offsetof(SEmptyString, text) == sizeof(CStringData));

char* EmptyText() {
  return s_empty.text;
}

LONG LoadRefs(CStringData* d) {
  return std::atomic_ref<LONG>(d->nRefs).load();
}

bool IsSharedEmpty(const CStringData* d) {
  return d == &s_empty.header;
}

void ReleaseData(CStringData* d) {
  if (IsSharedEmpty(d)) return;
  if (InterlockedDecrement(&d->nRefs) == 0) free(d);
}

}  // namespace

CString::CString() : m_pchData(EmptyText()) {}

CString::CString(const char* text) : m_pchData(EmptyText()) {
  if (text != nullptr) AssignCopy(text, static_cast<int>(strnlen(text, kMaxLength)));
}

CString::CString(const wchar_t* text) : m_pchData(EmptyText()) {
  if (text == nullptr) return;
  size_t n = wcstombs(nullptr, text, 0);
  if (n == static_cast<size_t>(-1) || n == 0 || n >= static_cast<size_t>(kMaxLength)) return;
  if (!AllocBuffer(static_cast<int>(n))) return;
  wcstombs(m_pchData, text, n + 1);
  m_pchData[n] = '\0';
}

CString::CString(const CString& other) : m_pchData(other.m_pchData) {
  if (!IsSharedEmpty(GetData())) InterlockedIncrement(&GetData()->nRefs);
}

CString::CString(CString&& other) noexcept : m_pchData(other.m_pchData) {
  other.m_pchData = EmptyText();
}

CString::~CString() {
  Release();
}

CString& CString::operator=(const CString& other) {
  if (m_pchData != other.m_pchData) {
    CString copy(other);
    Release();
    m_pchData = copy.m_pchData;
    copy.m_pchData = EmptyText();
  }
  return *this;
}

CString& CString::operator=(CString&& other) noexcept {
  if (this != &other) {
    Release();
    m_pchData = other.m_pchData;
    other.m_pchData = EmptyText();
  }
  return *this;
}

CString& CString::operator=(const char* text) {
  if (text == nullptr || *text == '\0') {
    Empty();
  } else {
    AssignCopy(text, static_cast<int>(strnlen(text, kMaxLength)));
  }
  return *this;
}

void CString::Empty() {
  Release();
  m_pchData = EmptyText();
}

void CString::Release() {
  ReleaseData(GetData());
}

bool CString::AllocBuffer(int length) {
  if (length < 0 || length >= kMaxLength) return false;
  if (length == 0) {
    m_pchData = EmptyText();
    return true;
  }
  CStringData* d =
      static_cast<CStringData*>(malloc(sizeof(CStringData) + static_cast<size_t>(length) + 1));
  if (d == nullptr) return false;
  d->nRefs = 1;
  d->nDataLength = length;
  d->nAllocLength = length;
  d->data()[length] = '\0';
  m_pchData = d->data();
  return true;
}

// Text may point into our own block, so the old block goes only after the copy.
bool CString::AssignCopy(const char* text, int length) {
  if (length >= kMaxLength) return false;
  char* old = m_pchData;
  CStringData* oldData = GetData();
  if (!AllocBuffer(length)) {
    m_pchData = old;
    return false;
  }
  if (length > 0) memcpy(m_pchData, text, static_cast<size_t>(length));
  m_pchData[length] = '\0';
  ReleaseData(oldData);
  return true;
}

bool CString::CopyBeforeWrite(int minCapacity) {
  CStringData* d = GetData();
  if (LoadRefs(d) == 1 && d->nAllocLength >= minCapacity) return true;
  int length = d->nDataLength;
  int capacity = minCapacity > length ? minCapacity : length;
  if (capacity >= kMaxLength) return false;
  CStringData* fresh =
      static_cast<CStringData*>(malloc(sizeof(CStringData) + static_cast<size_t>(capacity) + 1));
  if (fresh == nullptr) return false;
  fresh->nRefs = 1;
  fresh->nDataLength = length;
  fresh->nAllocLength = capacity;
  memcpy(fresh->data(), m_pchData, static_cast<size_t>(length) + 1);
  Release();
  m_pchData = fresh->data();
  return true;
}

char* CString::GetBuffer(int n) {
  if (n < 0 || n >= kMaxLength) return nullptr;
  if (n == 0 && IsSharedEmpty(GetData())) return m_pchData;
  if (!CopyBeforeWrite(n)) return nullptr;
  return m_pchData;
}

void CString::ReleaseBuffer(int newLength) {
  CStringData* d = GetData();
  if (IsSharedEmpty(d)) return;
  if (newLength < 0) newLength = static_cast<int>(strnlen(m_pchData, d->nAllocLength));
  if (newLength > d->nAllocLength) newLength = d->nAllocLength;
  d->nDataLength = newLength;
  m_pchData[newLength] = '\0';
}

int CString::Delete(int index, int count) {
  int length = GetLength();
  if (index < 0) index = 0;
  if (count <= 0 || index >= length) return length;
  if (count > length - index) count = length - index;
  if (!CopyBeforeWrite(length)) return length;
  CStringData* d = GetData();
  memmove(m_pchData + index, m_pchData + index + count,
          static_cast<size_t>(length - index - count) + 1);
  d->nDataLength = length - count;
  return length;
}

void CString::MakeLower() {
  if (IsEmpty() || !CopyBeforeWrite(GetLength())) return;
  for (int i = 0; i < GetLength(); ++i)
    m_pchData[i] = static_cast<char>(tolower(static_cast<unsigned char>(m_pchData[i])));
}

void CString::Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  FormatV(fmt, args);
  va_end(args);
}

void CString::FormatV(const char* fmt, va_list args) {
  if (fmt == nullptr) return;
  char* text = nullptr;
  int n = vasprintf(&text, fmt, args);
  if (n < 0) return;  // text is undefined then
  if (n > 0) AssignCopy(text, n);
  free(text);
}
