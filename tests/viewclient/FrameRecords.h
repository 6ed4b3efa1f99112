// Frame records as the logger stores them and a follower hands them over, made up for tests.
#pragma once

#include <vector>

#include "capture/CaptureFormat.h"
#include "os/OsTypes.h"

namespace viewtest {

using Bytes = std::vector<BYTE>;

// 2024-05-01 12:00:00 UTC as a file time.
constexpr LONGLONG kT0 = 133590384000000000LL;
constexpr LONGLONG kMs = 10000;  // file time ticks

inline void Put16(Bytes& b, WORD v) {
  for (int i = 0; i < 2; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}
inline void Put32(Bytes& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}

// The record of an NMX packet from 5.1.204.160.1.1:client to 5.1.204.160.1.1:server (the
// other way for a response, flags bit 0).
inline Bytes Record(LONGLONG time, WORD cmd, WORD flags, DWORD invoke, const Bytes& data,
                    DWORD err = 0, WORD server = 851, WORD client = 30000) {
  const BYTE id[6] = {5, 1, 204, 160, 1, 1};
  const bool response = flags & 1;
  Bytes p(id, id + 6);
  Put16(p, response ? client : server);
  p.insert(p.end(), id, id + 6);
  Put16(p, response ? server : client);
  Put16(p, cmd);
  Put16(p, flags);
  Put32(p, static_cast<DWORD>(data.size()));
  Put32(p, err);
  Put32(p, invoke);
  p.insert(p.end(), data.begin(), data.end());
  Bytes r(p.size() + vxcap::kPacketOffset);
  vxcap::EncodeRecord(r.data(), r.size(), time, p.data(), static_cast<DWORD>(p.size()));
  return r;
}

}  // namespace viewtest
