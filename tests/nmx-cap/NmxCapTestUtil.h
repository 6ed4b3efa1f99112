// Captures for the nmx-cap tests: NMX packets and KRP payloads built byte by byte, capture
// files written through the capture classes, and the tool run with its output collected.
#pragma once

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/CaptureFormat.h"
#include "common/TestUtil.h"
#include "nmx-cap/NmxCap.h"
#include "os/ByteOrder.h"

namespace captool {

using Bytes = std::vector<BYTE>;

// 2024-05-01 12:00:00 UTC as a file time.
constexpr LONGLONG kT0 = 133590384000000000LL;
constexpr LONGLONG kMs = 10000;

inline void Put16(Bytes& b, WORD v) {
  b.push_back(static_cast<BYTE>(v));
  b.push_back(static_cast<BYTE>(v >> 8));
}
inline void Put32(Bytes& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}
inline void Put64(Bytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}
inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Addr {
  BYTE netId[6];
  WORD port;
};
inline const Addr kClient = {{5, 1, 204, 160, 1, 1}, 30000};
inline const Addr kServer = {{5, 1, 204, 160, 1, 1}, 851};
inline const Addr kOther = {{10, 0, 0, 7, 1, 1}, 10502};

// An NMX packet: the 32-byte header field by field, then the data.
inline Bytes Packet(const Addr& target, const Addr& sender, WORD cmdId, WORD flags, DWORD invokeId,
                    const Bytes& data, DWORD errCode = 0) {
  Bytes p(target.netId, target.netId + 6);
  Put16(p, target.port);
  p.insert(p.end(), sender.netId, sender.netId + 6);
  Put16(p, sender.port);
  Put16(p, cmdId);
  Put16(p, flags);
  Put32(p, static_cast<DWORD>(data.size()));
  Put32(p, errCode);
  Put32(p, invokeId);
  return Cat(p, data);
}

// KRP payloads.
inline Bytes U32s(std::initializer_list<DWORD> v) {
  Bytes b;
  for (DWORD x : v) Put32(b, x);
  return b;
}

struct Frame {
  LONGLONG time;
  Bytes packet;
};

// The frame record of a frame, as the capture engine builds it.
inline Bytes Record(const Frame& f) {
  Bytes r(f.packet.size() + vxcap::kPacketOffset);
  vxcap::EncodeRecord(r.data(), r.size(), f.time, f.packet.data(),
                      static_cast<DWORD>(f.packet.size()));
  return r;
}

// Writes the frames through CCaptureFile one append at a time into a file preallocated to
// 1 MiB (or what the frames need), cuts the preallocated tail (unless keepTail) and closes
// the file. Returns the path.
inline std::string WriteCapture(const vxtest::TempDir& dir, const std::string& name,
                                const std::vector<Frame>& frames, bool keepTail = false) {
  DWORD size = 128;
  for (const Frame& f : frames) size += static_cast<DWORD>(f.packet.size()) + 32 + 4;
  CCaptureFile file;
  if (FAILED(file.Create(std::max<DWORD>(size, 1 << 20), dir.path().c_str(), name.c_str(), false)))
    return "";
  for (const Frame& f : frames) {
    const Bytes r = Record(f);
    if (FAILED(file.WriteFrame(r.data(), static_cast<DWORD>(r.size())))) return "";
  }
  if (!keepTail && FAILED(file.Truncate())) return "";
  if (FAILED(file.CloseFile())) return "";
  return dir / name;
}

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

// Runs the tool in this process: RunTool({"check", path}).
inline ToolRun RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), "nmx-cap");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int status = RunNmxCap(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

}  // namespace captool
