#include "nmx/NmxFilter.h"

#include <cstdlib>
#include <cstring>

#include "nmx/KrpTypes.h"

namespace {

void ListInit(TFilterListLink* head) {
  head->pPrev = head->pNext = head;
}
bool ListEmpty(const TFilterListLink* head) {
  return head->pNext == head;
}
void ListUnlink(TFilterListLink* link) {
  link->pPrev->pNext = link->pNext;
  link->pNext->pPrev = link->pPrev;
  link->pPrev = link->pNext = link;
}
void ListAddTail(TFilterListLink* head, TFilterListLink* link) {
  link->pPrev = head->pPrev;
  link->pNext = head;
  head->pPrev->pNext = link;
  head->pPrev = link;
}

PKrpReqEntry EntryOfList(TFilterListLink* link) {
  return reinterpret_cast<PKrpReqEntry>(reinterpret_cast<BYTE*>(link) -
                                        offsetof(KrpReqEntry, list));
}
PKrpReqEntry EntryOfChain(TFilterListLink* link) {
  return reinterpret_cast<PKrpReqEntry>(reinterpret_cast<BYTE*>(link) -
                                        offsetof(KrpReqEntry, chain));
}

bool IsReadWriteCommand(WORD cmdId) {
  return cmdId == KRP_CMD_READ || cmdId == KRP_CMD_WRITE || cmdId == KRP_CMD_READWRITE;
}

bool CompareAddress(WORD flags, const NmxAddr& entry, const NmxAddr& addr) {
  switch (flags) {
    case NMX_ADDRFLAG_ANY:
      return true;
    case NMX_ADDRFLAG_PORT:
      return entry.port == addr.port;
    case NMX_ADDRFLAG_NETID:
      return entry.netId == addr.netId;
    case NMX_ADDRFLAG_ADDR:
      return entry == addr;
    default:
      return false;
  }
}

// Sum requests: a ReadWrite whose write data holds sub-requests, each with its own group and
// offset.
constexpr ULONG kSumRead = 0xF080;
constexpr ULONG kSumWrite = 0xF081;
constexpr ULONG kSumReadWrite = 0xF082;

}  // namespace

bool FindNmxFilterFlag(const char* keyword, DWORD* flag) {
  static const struct {
    const char* keyword;
    DWORD flag;
  } NmxFilters[] = {{"Krp", NMX_FILTER_KRP}, {"Error", NMX_FILTER_ERROR}};
  if (!keyword) return false;
  for (const auto& f : NmxFilters) {
    if (strcmp(keyword, f.keyword) == 0) {
      if (flag) *flag = f.flag;
      return true;
    }
  }
  return false;
}

CNmxFilter::CNmxFilter() {
  for (auto& head : m_mapRequest) ListInit(&head);
  ListInit(&m_listRequestFree);
  ListInit(&m_listRequestPend);
  for (auto& e : m_krpReq) {
    e.entry.invokeId = 0;
    ListInit(&e.chain);
    ListInit(&e.list);
    ListAddTail(&m_listRequestFree, &e.list);
  }
  InitializeFilters();
}

CNmxFilter::~CNmxFilter() {
  free(m_pIncludeTable);
  free(m_pExcludeTable);
  DeleteKrpCmdTable(m_pKrpCmdTable);
}

// ---- Decision -------------------------------------------------------------------------------

bool CNmxFilter::AddressTableMatches(const BYTE* table, const NmxHead& head) {
  const DWORD n = NmxAddressTableCount(table);
  for (DWORD i = 0; i < n; ++i) {
    const TNmxAddressFilter f = NmxDecodeAddressFilter(table, i);
    if (CompareAddress(f.AddressFlags, f.Address, head.sender) ||
        CompareAddress(f.AddressFlags, f.Address, head.target))
      return true;
  }
  return false;
}

bool CNmxFilter::FilterNmxCmd(const NmxCmd* cmd) {
  if (!cmd) return true;
  COsCsLock lock(m_cs);
  if (!m_switches.bFilter) return false;
  const NmxHead& head = cmd->head;

  if (m_pIncludeTable && m_switches.bIncludeTable && !AddressTableMatches(m_pIncludeTable, head))
    return true;
  if (m_pExcludeTable && m_switches.bExcludeTable && AddressTableMatches(m_pExcludeTable, head))
    return true;

  const bool bCmdTable = m_pKrpCmdTable && m_switches.bKrpCmdTable;
  if (!bCmdTable && m_switches.dwFilterFlags == 0) return false;

  const bool bResponse = (head.stateFlags & NMX_FLAG_RESPONSE) != 0;
  if (bCmdTable || (m_switches.dwFilterFlags & NMX_FILTER_KRP)) {
    if (!(head.stateFlags & NMX_FLAG_KRP_COMMAND)) return true;
    if (bCmdTable) {
      if (bResponse) {
        if (!IsReadWriteCommand(head.cmdId) || !CheckReqMap(head)) return true;
      } else {
        if (FilterKrpRequest(head.target.port, head.cmdId, cmd->data, head.cbData)) return true;
        AddToRequestMap(head);
      }
    }
  }

  if (m_switches.dwFilterFlags & NMX_FILTER_ERROR) {
    if (head.errCode != 0) return false;
    const bool bKrpResponse = bResponse && (head.stateFlags & NMX_FLAG_KRP_COMMAND);
    const DWORD result = bKrpResponse && head.cbData >= 4 ? vx::DecodeLE32(cmd->data) : 0;
    return result == 0;
  }
  return false;
}

bool CNmxFilter::CheckKrpFilterCommand(const TKrpCommandFilter& f, ULONG group, ULONG offset) {
  return (group & f.idxGroupMask) == f.idxGroup &&
         (f.idxOffsetMask == 0 || (offset & f.idxOffsetMask) == f.idxOffset);
}

bool CNmxFilter::FilterKrpRequest(WORD targetPort, WORD cmdId, const BYTE* data, DWORD cbData) {
  auto it = m_mapKrpCmdFilter.find(targetPort);
  if (it == m_mapKrpCmdFilter.end()) return true;
  if (!IsReadWriteCommand(cmdId)) return true;
  // A request too short to carry its group and offset cannot be judged; it is not kept.
  if (cbData < 8) return true;
  const auto& filters = it->second;
  auto matches = [&filters](ULONG group, ULONG offset) {
    for (const TKrpCommandFilter* f : filters)
      if (CheckKrpFilterCommand(*f, group, offset)) return true;
    return false;
  };
  const ULONG group = vx::DecodeLE32(data);
  const ULONG offset = vx::DecodeLE32(data + 4);
  if (matches(group, offset)) return false;

  if (cmdId != KRP_CMD_READWRITE ||
      (group != kSumRead && group != kSumWrite && group != kSumReadWrite))
    return true;
  if (cbData < KRP_READWRITE_REQ_HEAD) return true;
  const ULONGLONG w = vx::DecodeLE32(data + 12);
  const ULONGLONG n = offset;
  // Sub-requests are only looked for in write data the request really carries.
  if (w > cbData - KRP_READWRITE_REQ_HEAD) return true;
  const BYTE* sub = data + KRP_READWRITE_REQ_HEAD;
  const ULONGLONG size = group == kSumReadWrite ? 16 : 12;
  ULONGLONG count = 0;
  if (group == kSumRead) {
    if (n == 0) {
      if (w == 0 || w % 3 != 0) return true;
      count = w / size;
    } else {
      count = n < w / size ? n : w / size;
    }
  } else {
    if (w == 0 || n == 0 || size * n > w) return true;
    count = n;
  }
  for (ULONGLONG i = 0; i < count; ++i) {
    const BYTE* p = sub + i * size;
    if (matches(vx::DecodeLE32(p), vx::DecodeLE32(p + 4))) return false;
  }
  return true;
}

void CNmxFilter::AddToRequestMap(const NmxHead& request) {
  TFilterListLink* link;
  if (!ListEmpty(&m_listRequestFree)) {
    link = m_listRequestFree.pNext;
    ListUnlink(link);
  } else {
    // All entries pending: the oldest request is forgotten.
    link = m_listRequestPend.pNext;
    ListUnlink(link);
    --m_nPend;
    ListUnlink(&EntryOfList(link)->chain);
  }
  PKrpReqEntry e = EntryOfList(link);
  e->entry.invokeId = request.hUser;
  e->entry.sender = request.sender;
  e->entry.target = request.target;
  ListAddTail(&m_mapRequest[Bucket(request.hUser)], &e->chain);
  ListAddTail(&m_listRequestPend, &e->list);
  ++m_nPend;
}

bool CNmxFilter::CheckReqMap(const NmxHead& response) {
  TFilterListLink* head = &m_mapRequest[Bucket(response.hUser)];
  for (TFilterListLink* l = head->pNext; l != head; l = l->pNext) {
    PKrpReqEntry e = EntryOfChain(l);
    if (e->entry.invokeId != response.hUser) continue;
    if (e->entry.target == response.sender && e->entry.sender == response.target) {
      ListUnlink(&e->chain);
      ListUnlink(&e->list);
      ListAddTail(&m_listRequestFree, &e->list);
      --m_nPend;
      return true;
    }
  }
  return false;
}

ULONG CNmxFilter::GetPendingRequests() {
  COsCsLock lock(m_cs);
  return m_nPend;
}

// ---- Tables -------------------------------------------------------------------------------

HRESULT CNmxFilter::ReplaceTable(bool bInclude, const BYTE* table, size_t cb) {
  BYTE* copy = static_cast<BYTE*>(malloc(cb));
  if (!copy) return E_OUTOFMEMORY;
  memcpy(copy, table, cb);
  COsCsLock lock(m_cs);
  BYTE*& slot = bInclude ? m_pIncludeTable : m_pExcludeTable;
  free(slot);
  slot = copy;
  return S_OK;
}

HRESULT CNmxFilter::SetIncludeTable(const TNmxAddressTable* table) {
  if (!table) return E_POINTER;
  const BYTE* p = reinterpret_cast<const BYTE*>(table);
  return ReplaceTable(true, p, NmxAddressTableSize(NmxAddressTableCount(p)));
}

HRESULT CNmxFilter::SetExcludeTable(const TNmxAddressTable* table) {
  if (!table) return E_POINTER;
  const BYTE* p = reinterpret_cast<const BYTE*>(table);
  return ReplaceTable(false, p, NmxAddressTableSize(NmxAddressTableCount(p)));
}

HRESULT CNmxFilter::SetIncludeTable(const BYTE* table, DWORD cb) {
  if (!table || cb < NMX_ADDRESS_TABLE_HEAD ||
      cb != NmxAddressTableSize(NmxAddressTableCount(table)))
    return KrpResultFromCode(KRP_E_INVALID_SIZE);
  return ReplaceTable(true, table, cb);
}

HRESULT CNmxFilter::SetExcludeTable(const BYTE* table, DWORD cb) {
  if (!table || cb < NMX_ADDRESS_TABLE_HEAD ||
      cb != NmxAddressTableSize(NmxAddressTableCount(table)))
    return KrpResultFromCode(KRP_E_INVALID_SIZE);
  return ReplaceTable(false, table, cb);
}

const TNmxAddressTable* CNmxFilter::GetIncludeTable() {
  COsCsLock lock(m_cs);
  return reinterpret_cast<const TNmxAddressTable*>(m_pIncludeTable);
}

const TNmxAddressTable* CNmxFilter::GetExcludeTable() {
  COsCsLock lock(m_cs);
  return reinterpret_cast<const TNmxAddressTable*>(m_pExcludeTable);
}

bool CNmxFilter::CopyTable(const BYTE* table, std::vector<BYTE>* bytes) {
  bytes->clear();
  if (!table) return false;
  bytes->assign(table, table + NmxAddressTableSize(NmxAddressTableCount(table)));
  return true;
}

bool CNmxFilter::CopyIncludeTable(std::vector<BYTE>* bytes) {
  if (!bytes) return false;
  COsCsLock lock(m_cs);
  return CopyTable(m_pIncludeTable, bytes);
}

bool CNmxFilter::CopyExcludeTable(std::vector<BYTE>* bytes) {
  if (!bytes) return false;
  COsCsLock lock(m_cs);
  return CopyTable(m_pExcludeTable, bytes);
}

bool CNmxFilter::GetFilterInfo(TNmxFilterInfo* info) {
  if (!info) return false;
  COsCsLock lock(m_cs);
  if (!m_pIncludeTable || !m_pExcludeTable) return false;
  info->cbIncludeTable =
      static_cast<ULONG>(NmxAddressTableSize(NmxAddressTableCount(m_pIncludeTable)));
  info->cbExcludeTable =
      static_cast<ULONG>(NmxAddressTableSize(NmxAddressTableCount(m_pExcludeTable)));
  return true;
}

void CNmxFilter::SetKrpCommandTable(TKrpCommandTable* table) {
  COsCsLock lock(m_cs);
  DeleteKrpCmdTable(m_pKrpCmdTable);
  m_pKrpCmdTable = table;
  if (!table) return;
  for (const TKrpCommandFilter& f : table->Commands)
    for (WORD port : f.pPorts) m_mapKrpCmdFilter[port].push_back(&f);
}

void CNmxFilter::DeleteKrpCmdTable(TKrpCommandTable* table) {
  COsCsLock lock(m_cs);
  if (table == m_pKrpCmdTable) m_pKrpCmdTable = nullptr;
  delete table;
  m_mapKrpCmdFilter.clear();
}

void CNmxFilter::InitializeFilters() {
  BYTE* include = static_cast<BYTE*>(calloc(1, NmxAddressTableSize(1)));
  BYTE* exclude = static_cast<BYTE*>(calloc(1, NmxAddressTableSize(0)));
  COsCsLock lock(m_cs);
  free(m_pIncludeTable);
  free(m_pExcludeTable);
  m_pIncludeTable = include;
  m_pExcludeTable = exclude;
  if (include) {
    vx::EncodeLE32(include, 1);
    NmxEncodeAddressFilter(include, 0, TNmxAddressFilter{NMX_ADDRFLAG_ANY, NmxAddr()});
  }
  DeleteKrpCmdTable(m_pKrpCmdTable);
  m_switches = TNmxFilterSwitches();
}

void CNmxFilter::ApplySettings(TNmxFilterSettings settings) {
  COsCsLock lock(m_cs);
  free(m_pIncludeTable);
  m_pIncludeTable = settings.pIncludeTable.release();
  free(m_pExcludeTable);
  m_pExcludeTable = settings.pExcludeTable.release();
  if (settings.bEnableIncludeTable) m_switches.bIncludeTable = TRUE;
  if (settings.bEnableExcludeTable) m_switches.bExcludeTable = TRUE;
  if (settings.bEnableFilter) m_switches.bFilter = TRUE;
  SetKrpCommandTable(settings.pKrpCmdTable.release());
  if (settings.bEnableKrpCmdTable) m_switches.bKrpCmdTable = TRUE;
  m_switches.dwFilterFlags = settings.dwFilterFlags;
}

// ---- Flags and switches ---------------------------------------------------------------------

TNmxFilterSwitches CNmxFilter::GetSwitches() {
  COsCsLock lock(m_cs);
  return m_switches;
}

void CNmxFilter::SetSwitches(const TNmxFilterSwitches& switches) {
  COsCsLock lock(m_cs);
  m_switches = switches;
}
