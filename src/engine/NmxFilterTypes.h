// Records of the traffic filters: KRP command filters and the remembered requests, and the
// filter flag keywords. Address tables and the flag bits: nmx/NmxFilterFormat.h.
#pragma once

#include <vector>

#include "nmx/NmxFilterFormat.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

// Byte sizes of the two address tables, as reported to the viewer.
typedef struct _TNmxFilterInfo {
  ULONG cbIncludeTable;
  ULONG cbExcludeTable;
} TNmxFilterInfo, *PTNmxFilterInfo;

// One KRP command filter: a request matches when (group & idxGroupMask) == idxGroup and, with
// a non-zero idxOffsetMask, (offset & idxOffsetMask) == idxOffset. It applies to requests sent
// to the ports in pPorts. Lives only in memory.
typedef struct _TKrpCommandFilter {
  ULONG CommandFlags = 0;  // not evaluated
  ULONG idxGroup = 0;
  ULONG idxGroupMask = 0xFFFFFFFF;
  ULONG idxOffset = 0;
  ULONG idxOffsetMask = 0;
  std::vector<WORD> pPorts;  // nPorts = pPorts.size()
} TKrpCommandFilter, *PTKrpCommandFilter;

typedef struct _TKrpCommandTable {
  std::vector<TKrpCommandFilter> Commands;  // nCommands = Commands.size()
} TKrpCommandTable, *PTKrpCommandTable;

// Links of an intrusive circular doubly linked list; a list head is a link to itself.
struct TFilterListLink {
  TFilterListLink* pPrev;
  TFilterListLink* pNext;
};

// One remembered request. `list` chains it into the free or the pending list, `chain` into
// the bucket of its invoke id.
typedef struct _KrpReqEntry {
  TFilterListLink list;
  TFilterListLink chain;
  struct {
    ULONG invokeId;
    NmxAddr sender;
    NmxAddr target;
  } entry;
} KrpReqEntry, *PKrpReqEntry;

// Looks up a filter flag keyword ("Krp", "Error"), exact and case-sensitive.
bool FindNmxFilterFlag(const char* keyword, DWORD* flag);
