// NMX commands and KRP payloads built field by field for the tests.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

#include "nmx/KrpTypes.h"
#include "nmx/NmxPort.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"

namespace nmxtest {

using Bytes = std::vector<BYTE>;

inline NmxAddr Addr(const char* netId, WORD port) {
  NmxNetId id;
  id = netId;
  return NmxAddr(id, port);
}

struct CmdFields {
  NmxAddr target = Addr("1.2.3.4.1.1", 851);
  NmxAddr sender = Addr("5.6.7.8.1.1", 30000);
  WORD cmdId = KRP_CMD_READ;
  WORD stateFlags = NMX_FLAG_KRP_COMMAND;
  LONG errCode = 0;
  DWORD hUser = 1;
  Bytes data;
};

// The bytes of a command: the header with cbData = data.size(), then the data.
inline Bytes MakeCmd(const CmdFields& s) {
  Bytes b(NMX_HEAD_SIZE + s.data.size());
  CNmxPort::NmxMakeHead(*reinterpret_cast<NmxHead*>(b.data()), s.cmdId,
                        static_cast<LONG>(s.data.size()), s.target, s.sender,
                        static_cast<LONG>(s.hUser), s.errCode, s.stateFlags);
  std::copy(s.data.begin(), s.data.end(), b.begin() + NMX_HEAD_SIZE);
  return b;
}

// The answer to a request: addresses exchanged, the response flag set.
inline CmdFields ResponseTo(CmdFields s, Bytes data = {0, 0, 0, 0}) {
  std::swap(s.target, s.sender);
  s.stateFlags |= NMX_FLAG_RESPONSE;
  s.data = std::move(data);
  return s;
}

inline void Put32(Bytes& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}

inline Bytes Words(std::initializer_list<DWORD> words) {
  Bytes b;
  for (DWORD w : words) Put32(b, w);
  return b;
}

inline const NmxCmd* AsCmd(const Bytes& b) {
  return reinterpret_cast<const NmxCmd*>(b.data());
}
inline NmxCmd* AsCmd(Bytes& b) {
  return reinterpret_cast<NmxCmd*>(b.data());
}

}  // namespace nmxtest
