// CListR0: a doubly linked list whose nodes come from a fixed pool inside the list object, so
// that adding an element never allocates.
#pragma once

#include "capture/CaptureFormat.h"
#include "os/OsTypes.h"

// Not locked: the owner guards every call with its own lock. The list does not own what its
// elements point to. Large (N nodes inside the object): allocate it on the heap. Nodes are
// handed out in order the first time and reused after that, so memory the list never needed
// is never touched.
template <class TYPE, class ARG_TYPE, UINT N>
class CListR0 {
 public:
  struct CNode {
    CNode* pNext;
    CNode* pPrev;
    TYPE data;
  };

  CListR0() = default;
  CListR0(const CListR0&) = delete;
  CListR0& operator=(const CListR0&) = delete;

  UINT GetCount() const { return m_nCount; }
  bool IsEmpty() const { return m_nCount == 0; }
  bool HasFreeNode() const { return m_pNodeFree != nullptr || m_nUnused < N; }

  // Only when HasFreeNode().
  void AddTail(ARG_TYPE element) {
    CNode* node = m_pNodeFree;
    if (node)
      m_pNodeFree = node->pNext;
    else
      node = &m_arrNodeFree[m_nUnused++];
    node->data = element;
    node->pNext = nullptr;
    node->pPrev = m_pNodeTail;
    if (m_pNodeTail)
      m_pNodeTail->pNext = node;
    else
      m_pNodeHead = node;
    m_pNodeTail = node;
    ++m_nCount;
  }

  // Only when !IsEmpty().
  TYPE RemoveHead() {
    CNode* node = m_pNodeHead;
    m_pNodeHead = node->pNext;
    if (m_pNodeHead)
      m_pNodeHead->pPrev = nullptr;
    else
      m_pNodeTail = nullptr;
    TYPE data = node->data;
    node->pNext = m_pNodeFree;
    m_pNodeFree = node;
    --m_nCount;
    return data;
  }

 private:
  CNode* m_pNodeHead = nullptr;
  CNode* m_pNodeTail = nullptr;
  CNode* m_pNodeFree = nullptr;
  UINT m_nCount = 0;
  UINT m_nUnused = 0;  // m_arrNodeFree[m_nUnused ...] were never handed out
  CNode m_arrNodeFree[N];
};

// The engine's queue is bounded by the bytes it holds (NMX_FRAME_QUEUE_BYTES): it has a node
// for as many of the smallest records (an NMX header alone, 64 bytes) as fit in that bound.
constexpr size_t NMX_FRAME_QUEUE_BYTES = 16u << 20;
constexpr UINT NMX_FRAME_QUEUE_SIZE = NMX_FRAME_QUEUE_BYTES / 64;
typedef CListR0<FRAME*, FRAME*, NMX_FRAME_QUEUE_SIZE> TFrameList;
