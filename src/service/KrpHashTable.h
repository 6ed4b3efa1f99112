// CHashTable: a fixed hash table without allocation, for the running notifications of the
// viewer command set.
#pragma once

#include <cstddef>

#include "os/OsTypes.h"
#include "os/OsUserTools.h"

// nEntries entries in 97 buckets (key modulo 97). Keys provide Hash() and operator==; values
// are copied in and out.
//
// Thread-safe: every operation takes the table's own lock and holds it only for the change,
// so callers may wait for what a removed value refers to without blocking the table.
template <class Key, class Val, size_t nEntries>
class CHashTable {
 public:
  static constexpr size_t kBuckets = 97;

  struct HashEntry {
    HashEntry* pNext;      // next in the bucket
    HashEntry* pNextFree;  // next free entry
    HashEntry* pNextGlob;  // next in the list of used entries, newest first
    Key key;
    Val value;
  };

  CHashTable() {
    OsUserInitializeCriticalSection(&critSec);
    for (size_t i = 0; i < nEntries; ++i)
      m_entries[i].pNextFree = i + 1 < nEntries ? &m_entries[i + 1] : nullptr;
    m_pFreeEntrys = nEntries ? &m_entries[0] : nullptr;
  }
  ~CHashTable() { OsUserDeleteCriticalSection(&critSec); }
  CHashTable(const CHashTable&) = delete;
  CHashTable& operator=(const CHashTable&) = delete;

  // Enters key with value, replacing the value of a key already present. False when the key is
  // new and every entry is in use.
  bool Insert(const Key& key, const Val& value) {
    COsCsLock guard(critSec);
    if (HashEntry* e = FindLocked(key)) {
      e->value = value;
      return true;
    }
    HashEntry* e = m_pFreeEntrys;
    if (!e) return false;
    m_pFreeEntrys = e->pNextFree;
    e->key = key;
    e->value = value;
    HashEntry*& head = m_pEntrys[Bucket(key)];
    e->pNext = head;
    head = e;
    e->pNextGlob = m_pFirstEntry;
    m_pFirstEntry = e;
    ++m_nKeyCount;
    return true;
  }

  // Takes key out; its value goes to *value when given. False when the key is not present.
  bool Remove(const Key& key, Val* value) {
    COsCsLock guard(critSec);
    HashEntry** link = &m_pEntrys[Bucket(key)];
    while (*link && !((*link)->key == key)) link = &(*link)->pNext;
    HashEntry* e = *link;
    if (!e) return false;
    *link = e->pNext;
    Unlink(e);
    if (value) *value = e->value;
    return true;
  }

  // Takes out the newest entry; false when the table is empty.
  bool RemoveFirst(Key* key, Val* value) {
    COsCsLock guard(critSec);
    HashEntry* e = m_pFirstEntry;
    if (!e) return false;
    HashEntry** link = &m_pEntrys[Bucket(e->key)];
    while (*link != e) link = &(*link)->pNext;
    *link = e->pNext;
    Unlink(e);
    if (key) *key = e->key;
    if (value) *value = e->value;
    return true;
  }

  bool Contains(const Key& key) {
    COsCsLock guard(critSec);
    return FindLocked(key) != nullptr;
  }

  size_t Count() {
    COsCsLock guard(critSec);
    return m_nKeyCount;
  }
  bool IsFull() {
    COsCsLock guard(critSec);
    return m_pFreeEntrys == nullptr;
  }

 private:
  static size_t Bucket(const Key& key) { return static_cast<size_t>(key.Hash() % kBuckets); }

  HashEntry* FindLocked(const Key& key) {
    for (HashEntry* e = m_pEntrys[Bucket(key)]; e; e = e->pNext)
      if (e->key == key) return e;
    return nullptr;
  }

  // Out of the used list and back to the free list; the bucket link is already gone.
  void Unlink(HashEntry* e) {
    HashEntry** glob = &m_pFirstEntry;
    while (*glob != e) glob = &(*glob)->pNextGlob;
    *glob = e->pNextGlob;
    e->pNextFree = m_pFreeEntrys;
    m_pFreeEntrys = e;
    --m_nKeyCount;
  }

  HashEntry m_entries[nEntries] = {};
  HashEntry* m_pFreeEntrys = nullptr;
  HashEntry* m_pFirstEntry = nullptr;
  HashEntry* m_pEntrys[kBuckets] = {};
  size_t m_nKeyCount = 0;
  CRITICAL_SECTION critSec;
};
