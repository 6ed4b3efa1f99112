// The filters of a settings document's "FilterInfo" element.
#include <cstdlib>
#include <memory>
#include <new>

#include "engine/NmxFilter.h"
#include "engine/XmlReaders.h"

// Under the lock as a whole, so no decision sees one table of the document without the
// others.
void CNmxFilter::LoadFilters(const pugi::xml_node& filterInfo) {
  COsCsLock lock(m_cs);
  LoadAddressTable(filterInfo, "IncludedAddresses/Address", m_pIncludeTable, m_bIncludeTable);
  LoadAddressTable(filterInfo, "ExcludedAddresses/Address", m_pExcludeTable, m_bExcludeTable);
  LoadKrpCommandTable(filterInfo);
  LoadFilterFlags(filterInfo);
}

void CNmxFilter::LoadAddressTable(const pugi::xml_node& filterInfo, const char* path, BYTE*& table,
                                  BOOL& bActive) {
  const pugi::xpath_node_set addresses = filterInfo.select_nodes(path);
  const size_t n = addresses.size();
  BYTE* built = nullptr;
  if (n > 0) {
    built = static_cast<BYTE*>(calloc(1, NmxAddressTableSize(n)));
    if (!built) throw std::bad_alloc();
    vx::EncodeLE32(built, static_cast<DWORD>(n));
  }
  COsCsLock lock(m_cs);
  free(table);
  table = built;
  if (!built) return;
  DWORD i = 0;
  for (const pugi::xpath_node& x : addresses) {
    const pugi::xml_node address = x.node();
    TNmxAddressFilter f{NMX_ADDRFLAG_ANY, NmxAddr()};
    m_bFilter = TRUE;
    if (const pugi::xml_node netId = address.child("NetId")) {
      f.Address.netId = XMLGettext(netId);
      f.AddressFlags = NMX_ADDRFLAG_NETID;
    }
    if (const pugi::xml_node port = address.child("Port")) {
      f.Address.port = XMLGetUshort(port);
      f.AddressFlags |= NMX_ADDRFLAG_PORT;
    }
    NmxEncodeAddressFilter(built, i++, f);
  }
  bActive = TRUE;
}

void CNmxFilter::LoadKrpCommandTable(const pugi::xml_node& filterInfo) {
  const pugi::xpath_node_set commands = filterInfo.select_nodes("KrpCommands/KrpCommand");
  if (commands.empty()) {
    SetKrpCommandTable(nullptr);
    return;
  }
  auto table = std::make_unique<TKrpCommandTable>();
  bool bComplete = true;
  for (const pugi::xpath_node& x : commands) {
    const pugi::xml_node command = x.node();
    TKrpCommandFilter f;
    const pugi::xml_node group = command.child("IGroup");
    if (!group) bComplete = false;
    f.idxGroup = static_cast<ULONG>(XMLGetLong(group));
    if (const pugi::xml_node n = command.child("IGroupMask"))
      f.idxGroupMask = static_cast<ULONG>(XMLGetLong(n));
    if (const pugi::xml_node n = command.child("IOffset"))
      f.idxOffset = static_cast<ULONG>(XMLGetLong(n));
    if (const pugi::xml_node n = command.child("IOffsetMask"))
      f.idxOffsetMask = static_cast<ULONG>(XMLGetLong(n));
    for (const pugi::xml_node port : command.children("Port"))
      f.pPorts.push_back(XMLGetUshort(port));
    table->Commands.push_back(std::move(f));
  }
  COsCsLock lock(m_cs);
  m_bFilter = TRUE;
  if (!bComplete) {
    SetKrpCommandTable(nullptr);
    return;
  }
  SetKrpCommandTable(table.release());
  m_bKrpCmdTable = TRUE;
}

void CNmxFilter::LoadFilterFlags(const pugi::xml_node& filterInfo) {
  COsCsLock lock(m_cs);
  m_dwFilterFlags = 0;
  for (const pugi::xml_node pdo : filterInfo.child("Filters").children("TxPdo")) {
    DWORD flag = 0;
    if (FindNmxFilterFlag(XMLGettext(pdo), &flag)) {
      m_dwFilterFlags |= flag;
      m_bFilter = TRUE;
    }
  }
}
