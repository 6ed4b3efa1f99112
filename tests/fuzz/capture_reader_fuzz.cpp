// The capture reader over an arbitrary file, in the three ways the program reads capture files
// it did not just write:
// - a capture file opened on the file (ReadHeader), its frame table and every read of frames:
//   whole records, records cut into small packets and continued, sizes and table positions;
// - a ring of small files continuing the file as an earlier capture (spread over the ring's
//   files, only its newest frames kept, or the file kept as a backup), read through the ring
//   and merged again;
// - the capture manager continuing it as a ring, with a viewer's read cursor delivering every
//   frame in small packets, before and after new frames arrive.
#include <cstdint>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/CaptureFormat.h"
#include "capture/CaptureMngt.h"
#include "capture/CaptureView.h"
#include "capture/RingBuffer.h"
#include "fuzz/FuzzSupport.h"
#include "os/OsUserFile.h"
#include "os/OsUserTools.h"
#include "support/VxFileStream.h"

namespace {

// Reads of a capture stop after this many frames or packets, so that a large frame count in a
// header costs time in proportion to the input only.
constexpr LONG kMaxFrames = 64;
constexpr int kMaxPackets = 256;
// Packet rooms that split records at odd places.
constexpr DWORD kSmallRoom = 37;
constexpr DWORD kViewPacket = vxcap::kPacketHeaderSize + 61;

const char kFileName[] = "in.cap";
std::string g_dir;

class CCountingOverflow : public IOverflow {
 public:
  HRESULT OnOverflow(LONG nFrames, DWORD) override {
    m_nFrames += nFrames;
    return S_OK;
  }
  LONG m_nFrames = 0;
};

// Every read a capture offers, over its first frames.
void ReadEverything(CCapture& capture) {
  const LONG start = capture.GetStartFrame();
  const LONG n = std::min(capture.GetFrameCount(), kMaxFrames);
  for (LONG i = 0; i < n; ++i) {
    capture.GetFrameOffset(i);
    BYTE* frame = nullptr;
    DWORD cb = 0;
    capture.ReadFrame(start + i, &frame, &cb);
    delete[] frame;
    BYTE head[vxcap::kRecordHeadSize];
    capture.ReadFrame(start + i, sizeof head, head, &cb);
    capture.GetSizeOfFrames(start + i, 1, cb);
    capture.GetTablePos(static_cast<DWORD>(i) * 50, 0);
  }
  DWORD cb = 0;
  capture.GetSizeOfFrames(start, n, cb);
  capture.GetSizeOfFrames(start, capture.GetFrameCount(), cb);

  // The frames in packets of a few bytes, each record continued until it is whole, as a view
  // delivers them.
  BYTE room[kSmallRoom];
  LONG next = start;
  LONG left = n;
  TIncompleteFrame pending = {0, 0};
  for (int packet = 0; packet < kMaxPackets && left > 0; ++packet) {
    if (pending.cbSize != 0) {
      DWORD got = 0;
      if (FAILED(capture.ReadIncompleteFrame(sizeof room, room, next, got, pending)) || got == 0)
        break;
      if (pending.cbLeft == 0) {
        pending.cbSize = 0;
        ++next;
        --left;
      }
      continue;
    }
    DWORD got = 0;
    LONG frames = 0;
    if (FAILED(capture.ReadFrames(sizeof room, room, next, left, got, frames, pending))) break;
    if (frames == 0 && pending.cbSize == 0) break;
    next += frames;
    left -= frames;
  }
}

void ReadFile(const std::string& path) {
  IVxFileStream* stream = nullptr;
  if (FAILED(CVxFileStream::CreateFileStream(&stream, path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL)))
    return;
  CCaptureFile file;
  if (FAILED(file.Create(stream, false))) {
    stream->Release();
    return;
  }
  ReadEverything(file);
}

std::vector<BYTE> NewFrame() {
  const std::vector<uint8_t> cmd = vxfuzz::NmxCommand(3, 4, 851, 0, vxfuzz::Words({1, 2, 4, 9}));
  std::vector<BYTE> record(vxcap::RecordSize(static_cast<DWORD>(cmd.size())));
  vxcap::EncodeRecord(record.data(), record.size(), 133000000000000000LL, cmd.data(),
                      static_cast<DWORD>(cmd.size()));
  return record;
}

// A ring of 3 files of 16 KiB: an earlier capture of up to 48 KiB is spread over its files, or
// only its newest frames are kept; a larger one is kept as a backup.
void ContinueAsSmallRing() {
  CCountingOverflow overflow;
  CRingBuffer ring(3, &overflow, false);
  if (FAILED(ring.Create(48 * 1024, g_dir.c_str(), kFileName, false))) return;
  ReadEverything(ring);
  const std::vector<BYTE> frame = NewFrame();
  for (int i = 0; i < 3; ++i) ring.WriteFrame(frame.data(), static_cast<DWORD>(frame.size()));
  ring.Truncate();
  ring.CloseFile();
}

void DeliverAll(CCaptureView& view) {
  BYTE packet[kViewPacket];
  for (int i = 0; i < kMaxPackets && view.GetUnreadFrames(packet, sizeof packet) == S_OK; ++i) {
  }
}

void ContinueInManager() {
  CCaptureMngt mngt(CCaptureMngt::kMinFileSize, 16 * 1024, INFINITE, 2, false);
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.folder = g_dir.c_str(); });
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = kFileName; });
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.bRingBuffer = true; });
  // Made before the start, the view delivers the frames the ring continues.
  CCaptureView view(&mngt);
  if (FAILED(mngt.Start())) return;
  DeliverAll(view);
  const std::vector<BYTE> frame = NewFrame();
  for (int i = 0; i < 3; ++i) mngt.WriteFrame(reinterpret_cast<const FRAME*>(frame.data()));
  DeliverAll(view);
  mngt.Stop();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vxfuzz::BaseDir();
  g_dir = vxfuzz::ScratchDir("capture_reader");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = g_dir + "/" + kFileName;
  vxfuzz::WriteFile(path, data, size);
  ReadFile(path);
  ContinueAsSmallRing();
  vxfuzz::EmptyFolder(g_dir);
  vxfuzz::WriteFile(path, data, size);
  ContinueInManager();
  vxfuzz::EmptyFolder(g_dir);
  return 0;
}
