// The KRP payload of a captured NMX command, decoded for display. Payloads come from a file
// and may be short or lie about their lengths: every field is read only after its bytes
// are known to be there, and what cannot be decoded is said in a note.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

struct KrpField {
  enum Kind { kDec, kHex, kText, kList };  // kList: comma-separated decimal numbers
  const char* szName;                      // as printed: "indexGroup", "length", "result", ...
  Kind kind;
  uint64_t nValue;
  std::string strText;  // raw bytes for kText, the numbers for kList
};

struct KrpPayload {
  std::vector<KrpField> fields;
  bool bHasResult = false;  // a response that carries a KRP result
  DWORD nResult = 0;
  std::string strNote;  // what could not be decoded, empty when all was
};

// "Read", "ReadWrite", ... of KRP command ids 1 to 9; null for any other id.
const char* KrpCommandName(WORD cmdId);
// The id of a command name (any case); 0 when there is none.
WORD KrpCommandIdFromName(const char* name);

// Decodes the payload of a command whose header is head. data holds the first cbAvail of
// its head.cbData bytes (fewer only when a record is larger than a read window). Commands
// without the KRP flag, and responses with an NMX error, decode to nothing.
KrpPayload DecodeKrpPayload(const NmxHead& head, const BYTE* data, DWORD cbAvail);
