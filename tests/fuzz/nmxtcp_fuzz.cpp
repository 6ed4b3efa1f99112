// NMX/TCP reassembly: a byte stream from a viewer, cut into the chunks a receiver thread would
// hand over, reassembled by the stub.
//
// Input: byte 0 = k (mod 8), then k chunk lengths of 1 to 256 bytes (each byte + 1), used in
// turn; the rest is the stream. k = 0 hands the stream over in one chunk.
//
// However the stream is cut, the stub must pass on exactly the frames a straight reading of
// the stream finds, whole and in order, and close the connection exactly when a frame breaks
// the framing rules; a stream that ends inside a frame is closed when the peer then goes
// silent, one that ends between frames is not.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "nmx/NmxTypes.h"
#include "viewer/NmxTcpStub.h"

namespace {

class CRecordingStub : public CNmxTcpStub {
 public:
  void OnNmxReceive(NmxCmd* cmd) override {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(cmd);
    m_frames.emplace_back(p, p + NMX_HEAD_SIZE + size_t{cmd->head.cbData});
  }
  std::vector<std::vector<uint8_t>> m_frames;
};

[[noreturn]] void Broken(const char* what) {
  fprintf(stderr, "NMX/TCP reassembly: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The stub takes its NetId from the registry of the private runtime folder.
  vxfuzz::BaseDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t k = data[0] % 8;
  if (size < 1 + k) return 0;
  std::vector<DWORD> cuts;
  for (size_t i = 0; i < k; ++i) cuts.push_back(DWORD{data[1 + i]} + 1);
  const uint8_t* stream = data + 1 + k;
  const size_t n = size - 1 - k;
  const vxfuzz::NmxTcpStream expected = vxfuzz::ReadNmxTcpStream(stream, n);

  CRecordingStub stub;
  if (!stub.IsCreated()) return 0;
  size_t pos = 0;
  for (size_t c = 0; pos < n && stub.IsCreated(); ++c) {
    const size_t len = cuts.empty() ? n : std::min<size_t>(cuts[c % cuts.size()], n - pos);
    stub.OnReceive(0, stream + pos, static_cast<DWORD>(len), 0);
    pos += len;
  }
  if (stub.m_frames != expected.Bodies()) Broken("the frames passed on differ from the stream's");
  if (stub.IsCreated() == expected.broken)
    Broken("closed for a sound stream, or open after a broken one");
  if (!expected.broken) {
    stub.OnReceiveIdle();
    if (stub.IsCreated() == expected.midFrame)
      Broken("a silent peer was closed between frames, or kept inside one");
  }
  return 0;
}
