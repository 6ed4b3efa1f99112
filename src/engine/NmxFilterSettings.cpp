#include "engine/NmxFilterSettings.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "engine/XmlReaders.h"

namespace {

// The addresses under path as a table, or null when there are none.
TNmxAddressTablePtr ReadAddressTable(const pugi::xml_node& filterInfo, const char* path) {
  const pugi::xpath_node_set addresses = filterInfo.select_nodes(path);
  const size_t n = addresses.size();
  if (n == 0) return nullptr;
  TNmxAddressTablePtr table(static_cast<BYTE*>(calloc(1, NmxAddressTableSize(n))));
  if (!table) throw std::bad_alloc();
  vx::EncodeLE32(table.get(), static_cast<DWORD>(n));
  DWORD i = 0;
  for (const pugi::xpath_node& x : addresses) {
    const pugi::xml_node address = x.node();
    TNmxAddressFilter f{NMX_ADDRFLAG_ANY, NmxAddr()};
    if (const pugi::xml_node netId = address.child("NetId")) {
      f.Address.netId = XMLGettext(netId);
      f.AddressFlags = NMX_ADDRFLAG_NETID;
    }
    if (const pugi::xml_node port = address.child("Port")) {
      f.Address.port = XMLGetUshort(port);
      f.AddressFlags |= NMX_ADDRFLAG_PORT;
    }
    NmxEncodeAddressFilter(table.get(), i++, f);
  }
  return table;
}

// A command without its group makes the whole table void, though it still turns the filter
// on.
void ReadKrpCommandTable(const pugi::xml_node& filterInfo, TNmxFilterSettings* settings) {
  const pugi::xpath_node_set commands = filterInfo.select_nodes("KrpCommands/KrpCommand");
  if (commands.empty()) return;
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
  settings->bEnableFilter = true;
  if (!bComplete) return;
  settings->pKrpCmdTable = std::move(table);
  settings->bEnableKrpCmdTable = true;
}

void ReadFilterFlags(const pugi::xml_node& filterInfo, TNmxFilterSettings* settings) {
  for (const pugi::xml_node pdo : filterInfo.child("Filters").children("TxPdo")) {
    DWORD flag = 0;
    if (FindNmxFilterFlag(XMLGettext(pdo), &flag)) {
      settings->dwFilterFlags |= flag;
      settings->bEnableFilter = true;
    }
  }
}

}  // namespace

void LoadNmxFilters(CNmxFilter& filter, const pugi::xml_node& filterInfo) {
  TNmxFilterSettings settings;
  settings.pIncludeTable = ReadAddressTable(filterInfo, "IncludedAddresses/Address");
  settings.pExcludeTable = ReadAddressTable(filterInfo, "ExcludedAddresses/Address");
  settings.bEnableIncludeTable = settings.pIncludeTable != nullptr;
  settings.bEnableExcludeTable = settings.pExcludeTable != nullptr;
  if (settings.bEnableIncludeTable || settings.bEnableExcludeTable) settings.bEnableFilter = true;
  ReadKrpCommandTable(filterInfo, &settings);
  ReadFilterFlags(filterInfo, &settings);
  filter.ApplySettings(std::move(settings));
}
