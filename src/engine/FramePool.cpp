#include "engine/FramePool.h"

#include <cstdlib>
#include <cstring>

size_t CFramePool::ClassOf(DWORD cbRecord) {
  size_t c = 0;
  while (c < kClasses && cbRecord > kCapacity[c]) ++c;
  return c;
}

BYTE* CFramePool::Next(BYTE* block) {
  BYTE* next;
  memcpy(&next, block, sizeof next);
  return next;
}

void CFramePool::SetNext(BYTE* block, BYTE* next) {
  memcpy(block, &next, sizeof next);
}

CFramePool::~CFramePool() {
  for (size_t c = 0; c < kClasses; ++c) {
    while (BYTE* b = m_pFree[c]) {
      m_pFree[c] = Next(b);
      free(b);
    }
  }
}

FRAME* CFramePool::Allocate(DWORD cbRecord) {
  const size_t c = ClassOf(cbRecord);
  return static_cast<FRAME*>(malloc(c < kClasses ? kCapacity[c] : cbRecord));
}

FRAME* CFramePool::Take(DWORD cbRecord) {
  const size_t c = ClassOf(cbRecord);
  if (c == kClasses || !m_pFree[c]) return nullptr;
  BYTE* b = m_pFree[c];
  m_pFree[c] = Next(b);
  m_cbFree -= kCapacity[c];
  return reinterpret_cast<FRAME*>(b);
}

void CFramePool::Put(FRAME* frame, DWORD cbRecord) {
  const size_t c = ClassOf(cbRecord);
  if (c == kClasses || m_cbFree + kCapacity[c] > kMaxCachedBytes) {
    free(frame);
    return;
  }
  BYTE* b = reinterpret_cast<BYTE*>(frame);
  SetNext(b, m_pFree[c]);
  m_pFree[c] = b;
  m_cbFree += kCapacity[c];
}

void CFramePool::Splice(CReturns& returns) {
  for (size_t c = 0; c < kClasses; ++c) {
    const size_t cb = returns.m_nCount[c] * kCapacity[c];
    if (!returns.m_pHead[c] || m_cbFree + cb > kMaxCachedBytes) continue;
    SetNext(returns.m_pTail[c], m_pFree[c]);
    m_pFree[c] = returns.m_pHead[c];
    m_cbFree += cb;
    returns.m_cbBlocks -= cb;
    returns.m_pHead[c] = returns.m_pTail[c] = nullptr;
    returns.m_nCount[c] = 0;
  }
}

void CFramePool::Release(CReturns& returns) {
  for (size_t c = 0; c < kClasses; ++c) {
    while (BYTE* b = returns.m_pHead[c]) {
      returns.m_pHead[c] = Next(b);
      free(b);
    }
    returns.m_pTail[c] = nullptr;
    returns.m_nCount[c] = 0;
  }
  returns.m_cbBlocks = 0;
}

CFramePool::CReturns::~CReturns() {
  CFramePool::Release(*this);
}

void CFramePool::CReturns::Add(FRAME* frame, DWORD cbRecord) {
  const size_t c = ClassOf(cbRecord);
  if (c == kClasses || m_cbBlocks + kCapacity[c] > kMaxCachedBytes) {
    free(frame);
    return;
  }
  m_cbBlocks += kCapacity[c];
  BYTE* b = reinterpret_cast<BYTE*>(frame);
  SetNext(b, nullptr);
  if (m_pTail[c])
    SetNext(m_pTail[c], b);
  else
    m_pHead[c] = b;
  m_pTail[c] = b;
  ++m_nCount[c];
}
