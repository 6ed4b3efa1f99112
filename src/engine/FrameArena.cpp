#include "engine/FrameArena.h"

#include <cstdlib>

CFrameArena::CFrameArena() : m_pBase(static_cast<BYTE*>(malloc(kSize))) {}

CFrameArena::~CFrameArena() {
  free(m_pBase);
}

FRAME* CFrameArena::Take(DWORD cbRecord) {
  if (!m_pBase || cbRecord > kMaxRecord) return nullptr;
  const size_t cb = Rounded(cbRecord);
  const uint64_t given = m_nGiven.load(std::memory_order_acquire);
  uint64_t at = m_nTaken;
  const size_t offset = static_cast<size_t>(at % kSize);
  if ((at == given && offset > cb) || offset + cb > kSize) at += kSize - offset;
  // Never quite full: a block's end then always lies less than kSize past the tail, which is
  // how Give finds the tail's new position from the block alone.
  if (at + cb >= given + kSize) return nullptr;
  m_nTaken = at + cb;
  return reinterpret_cast<FRAME*>(m_pBase + at % kSize);
}

void CFrameArena::Give(const FRAME* frame, DWORD cbRecord) {
  const size_t end =
      static_cast<size_t>(reinterpret_cast<const BYTE*>(frame) - m_pBase) + Rounded(cbRecord);
  const uint64_t given = m_nGiven.load(std::memory_order_relaxed);
  const size_t tail = static_cast<size_t>(given % kSize);
  m_nGiven.store(given + (end + kSize - tail) % kSize, std::memory_order_release);
}
