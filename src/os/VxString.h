// CString: a reference-counted narrow string with copy on write.
//
// Copies share one heap block whose count changes atomically, so copies may live on different
// threads; one CString object must not be used by two threads at once. Every empty string
// points at one static block that is never freed. Pointers from GetBuffer and the const char*
// conversion stay valid until the object is next modified or destroyed.
#pragma once

#include <stdarg.h>
#include <wchar.h>

#include "os/OsTypes.h"

struct CStringData {
  LONG nRefs;  // -1 marks the shared empty string
  int nDataLength;
  int nAllocLength;
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

class CString {
 public:
  CString();
  CString(const char* text);     // NOLINT: implicit like the strings it stands in for
  CString(const wchar_t* text);  // NOLINT
  CString(const CString& other);
  CString(CString&& other) noexcept;
  ~CString();

  CString& operator=(const CString& other);
  CString& operator=(CString&& other) noexcept;
  CString& operator=(const char* text);

  operator const char*() const { return m_pchData; }  // NOLINT
  int GetLength() const { return GetData()->nDataLength; }
  bool IsEmpty() const { return GetLength() == 0; }
  void Empty();

  // A private, writable buffer of at least max(n, length) characters plus the terminator,
  // keeping the content; null for negative n or too large a size. Call ReleaseBuffer after
  // writing to it so the length follows the new content.
  char* GetBuffer(int n);
  // Sets the length to newLength, or to the text's length when -1; clamped to the capacity.
  void ReleaseBuffer(int newLength = -1);
  // Removes count characters at index (negative counts as 0); returns the length before.
  int Delete(int index, int count = 1);
  void MakeLower();
  // Assigns the formatted text; a null format, an empty result or a formatting error leaves
  // the string unchanged.
  void Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void FormatV(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));

 private:
  CStringData* GetData() const { return reinterpret_cast<CStringData*>(m_pchData) - 1; }
  bool AssignCopy(const char* text, int length);
  bool AllocBuffer(int length);
  bool CopyBeforeWrite(int minCapacity);
  void Release();

  char* m_pchData;
};
