// One thread writes through the manager into a small ring that rotates many times while
// another reads through a view as fast as it can.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureMngt.h"
#include "capture/CaptureView.h"
#include "capture/RingTestUtil.h"
#include "common/TestUtil.h"

namespace {

constexpr DWORD kFrames = 200000;
constexpr DWORD kHdr = vxcap::kPacketHeaderSize;

DWORD FrameSize(DWORD seq) {
  return ringtest::kMinRecord + (seq * 7919u) % 600;
}

// What the reader saw, checked packet by packet.
struct Receiver {
  std::vector<BYTE> pending;  // bytes of the current sequence not yet forming a whole record
  WORD id = 0;
  WORD nextPacket = 0;
  bool inSequence = false;
  LONGLONG last = -1;
  DWORD overflowsWhenLastRead = 0;
  DWORD delivered = 0;
  DWORD gaps = 0;
  DWORD sequences = 0;
  DWORD abandoned = 0;
  std::string error;

  // overflowsBefore / overflowsAfter: the manager's counter around the call that gave p.
  void Take(const TCapturePacketHdr& h, const BYTE* data, DWORD overflowsBefore,
            DWORD overflowsAfter) {
    if (!error.empty()) return;
    if (h.nPacket == 0) {
      if (inSequence || !pending.empty()) ++abandoned;
      pending.clear();
      id = h.nId;
      ++sequences;
    } else if (!inSequence || h.nId != id || h.nPacket != nextPacket) {
      error = "packet out of sequence";
      return;
    }
    nextPacket = static_cast<WORD>(h.nPacket + 1);
    inSequence = h.cbLeft != 0;
    pending.insert(pending.end(), data, data + h.cbData);
    LONG ended = 0;
    size_t pos = 0;
    while (pending.size() - pos >= vxcap::kRecordHeadSize) {
      const size_t size =
          vx::DecodeLE32(pending.data() + pos + vxcap::kRecFrameLength) + vxcap::kRecordHeadSize;
      if (pending.size() - pos < size) break;
      const LONGLONG seq = ringtest::RecordSeq(pending.data() + pos, size);
      if (seq < 0) {
        error = "damaged record after " + std::to_string(last);
        return;
      }
      if (seq <= last) {
        error = "record " + std::to_string(seq) + " after " + std::to_string(last);
        return;
      }
      if (seq != last + 1) {
        // Frames may be missed only when the ring dropped them after the last one was read.
        if (overflowsAfter == overflowsWhenLastRead) {
          error = "frames " + std::to_string(last + 1) + "-" + std::to_string(seq - 1) +
                  " missing without an overflow";
          return;
        }
        ++gaps;
      }
      last = seq;
      overflowsWhenLastRead = overflowsBefore;
      ++delivered;
      ++ended;
      pos += size;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pos));
    if (ended != h.nFrames) error = "nFrames does not count the records that end";
    if (h.cbLeft == 0 && !pending.empty()) error = "sequence ended inside a record";
  }
};

TEST(CaptureConcurrency, ViewReadsIntactFramesInOrderWhileTheRingRotates) {
  vxtest::TempDir dir;
  CCaptureMngt mngt(1048576, 65536, 50, 4, true);
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = "trace.cap"; });
  ASSERT_EQ(S_OK, mngt.Start());
  CCaptureView view(&mngt);
  auto overflows = [&mngt] {
    LONG frames = 0;
    DWORD bytes = 0, count = 0;
    mngt.GetCaptureInfo(frames, bytes, count);
    return count;
  };

  std::atomic<bool> writerDone{false};
  std::atomic<DWORD> writeFailures{0};
  std::thread writer([&] {
    std::vector<BYTE> rec;
    for (DWORD seq = 0; seq < kFrames; ++seq) {
      rec = ringtest::Record(FrameSize(seq), seq);
      if (mngt.WriteFrame(reinterpret_cast<const FRAME*>(rec.data())) != S_OK) ++writeFailures;
    }
    writerDone = true;
  });

  Receiver rx;
  DWORD viewFailures = 0;
  const DWORD rooms[] = {100, 1000, 4096, 16384, 333};
  std::vector<BYTE> buf(kHdr + 16384);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(400);
  for (size_t call = 0; rx.error.empty() && std::chrono::steady_clock::now() < deadline; ++call) {
    if (writerDone && rx.last == kFrames - 1 && !rx.inSequence) break;
    const DWORD room = rooms[call % (sizeof rooms / sizeof rooms[0])];
    const DWORD before = overflows();
    const HRESULT hr = view.GetUnreadFrames(buf.data(), kHdr + room);
    const DWORD after = overflows();
    if (hr == S_FALSE) {
      std::this_thread::yield();
      continue;
    }
    if (hr != S_OK) {
      ++viewFailures;
      continue;
    }
    TCapturePacketHdr h{};
    ASSERT_TRUE(vxcap::DecodeCapturePacketHdr(buf.data(), kHdr, &h));
    ASSERT_LE(h.cbData, room);
    rx.Take(h, buf.data() + kHdr, before, after);
  }
  writer.join();
  ASSERT_TRUE(rx.error.empty()) << rx.error;
  EXPECT_EQ(0u, writeFailures.load());
  EXPECT_EQ(0u, viewFailures);
  EXPECT_EQ(kFrames - 1, rx.last);

  LONG frames = 0;
  DWORD bytes = 0, count = 0;
  mngt.GetCaptureInfo(frames, bytes, count);
  EXPECT_GT(count, 10u) << "the ring should have rotated many times";
  std::printf("written %u, delivered %u, ring overflows %u, gaps %u, sequences %u (%u cut short)\n",
              kFrames, rx.delivered, count, rx.gaps, rx.sequences, rx.abandoned);
  ::testing::Test::RecordProperty("written", static_cast<int>(kFrames));
  ::testing::Test::RecordProperty("delivered", static_cast<int>(rx.delivered));
  ::testing::Test::RecordProperty("overflows", static_cast<int>(count));

  ASSERT_EQ(S_OK, mngt.Stop());
  const auto merged = ringtest::ReadCapFile(dir / "trace.cap");
  ASSERT_TRUE(merged.ok) << merged.error;
  ASSERT_EQ(static_cast<size_t>(frames), merged.seqs.size());
  EXPECT_EQ(ringtest::Range(kFrames - frames, kFrames), merged.seqs);
}

}  // namespace
