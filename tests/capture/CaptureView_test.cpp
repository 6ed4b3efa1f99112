#include "capture/CaptureView.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/CaptureMngt.h"
#include "capture/RingTestUtil.h"
#include "common/TestUtil.h"

namespace {

using ringtest::Range;
using ringtest::Record;

constexpr DWORD kMiB = 1048576;
constexpr DWORD kNoCycle = 3600000;
constexpr DWORD kHdr = vxcap::kPacketHeaderSize;

struct Packet {
  HRESULT hr = E_FAIL;
  TCapturePacketHdr hdr = {};
  std::vector<BYTE> data;
};

class CaptureViewTest : public ::testing::Test {
 protected:
  void StartCapture(bool ring) {
    m_mngt.ChangeSettings([&](CaptureSettings& cs) { cs.bRingBuffer = ring; });
    m_mngt.ChangeSettings([&](CaptureSettings& cs) { cs.folder = m_dir.path().c_str(); });
    m_mngt.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = "trace.cap"; });
    ASSERT_EQ(S_OK, m_mngt.Start());
  }
  void TearDown() override {
    if (m_mngt.IsStarted()) m_mngt.Stop();
  }
  void Write(DWORD size, DWORD first, DWORD count) {
    for (DWORD seq = first; seq < first + count; ++seq) {
      const std::vector<BYTE> rec = Record(size, seq);
      ASSERT_EQ(S_OK, m_mngt.WriteFrame(reinterpret_cast<const FRAME*>(rec.data())));
    }
  }
  DWORD Overflows() {
    LONG frames = 0;
    DWORD bytes = 0, overflows = 0;
    m_mngt.GetCaptureInfo(frames, bytes, overflows);
    return overflows;
  }
  static Packet Get(CCaptureView& view, DWORD room) {
    std::vector<BYTE> buf(kHdr + room, 0xAB);
    Packet p;
    p.hr = view.GetUnreadFrames(buf.data(), static_cast<DWORD>(buf.size()));
    if (p.hr == S_OK && vxcap::DecodeCapturePacketHdr(buf.data(), buf.size(), &p.hdr) &&
        p.hdr.cbData <= room)
      p.data.assign(buf.begin() + kHdr, buf.begin() + kHdr + p.hdr.cbData);
    return p;
  }
  static std::vector<LONGLONG> Seqs(const std::vector<BYTE>& data) {
    return ringtest::RecordSeqs(data.data(), data.size());
  }

  vxtest::TempDir m_dir;
  CCaptureMngt m_mngt{kMiB, 65536, kNoCycle, 2, true};
};

TEST_F(CaptureViewTest, NewViewDeliversOnlyFramesCapturedAfterIt) {
  StartCapture(false);
  Write(100, 0, 100);
  CCaptureView view(&m_mngt);
  std::vector<BYTE> buf(kHdr + 4096, 0xAB);
  EXPECT_EQ(S_FALSE, view.GetUnreadFrames(buf.data(), static_cast<DWORD>(buf.size())));
  EXPECT_EQ(std::vector<BYTE>(buf.size(), 0xAB), buf);

  Write(100, 100, 3);
  const Packet p = Get(view, 4096);
  ASSERT_EQ(S_OK, p.hr);
  EXPECT_EQ(1, p.hdr.nId);
  EXPECT_EQ(0, p.hdr.nPacket);
  EXPECT_EQ(3, p.hdr.nFrames);
  EXPECT_EQ(0u, p.hdr.cbLeft);
  EXPECT_EQ(300u, p.hdr.cbData);
  EXPECT_EQ(0u, p.hdr.cbIncomplete);
  EXPECT_EQ(0, p.hdr.nErr);
  EXPECT_EQ(Range(100, 103), Seqs(p.data));
  EXPECT_EQ(S_FALSE, Get(view, 4096).hr);
}

TEST_F(CaptureViewTest, PacketsSplitRecordsAndCarryTheRestOver) {
  StartCapture(false);
  struct Expect {
    DWORD cbData, cbLeft, cbIncomplete;
    LONG nFrames;
  };
  struct Case {
    DWORD recordSize, count, room;
    std::vector<Expect> packets;
  };
  const Case cases[] = {
      {100, 3, 250, {{250, 50, 100, 2}, {50, 0, 0, 1}}},
      {1000, 1, 300, {{300, 700, 1000, 0}, {300, 400, 0, 0}, {300, 100, 0, 0}, {100, 0, 0, 1}}},
  };
  DWORD seq = 0;
  WORD id = 0;
  for (const Case& c : cases) {
    CCaptureView view(&m_mngt);
    Write(c.recordSize, seq, c.count);
    ++id;
    std::vector<BYTE> all;
    for (size_t i = 0; i < c.packets.size(); ++i) {
      const Packet p = Get(view, c.room);
      ASSERT_EQ(S_OK, p.hr) << c.recordSize << " packet " << i;
      EXPECT_EQ(1, p.hdr.nId);
      EXPECT_EQ(i, p.hdr.nPacket);
      EXPECT_EQ(c.packets[i].cbData, p.hdr.cbData) << i;
      EXPECT_EQ(c.packets[i].cbLeft, p.hdr.cbLeft) << i;
      EXPECT_EQ(c.packets[i].cbIncomplete, p.hdr.cbIncomplete) << i;
      EXPECT_EQ(c.packets[i].nFrames, p.hdr.nFrames) << i;
      all.insert(all.end(), p.data.begin(), p.data.end());
    }
    EXPECT_EQ(Range(seq, seq + c.count), Seqs(all));
    EXPECT_EQ(S_FALSE, Get(view, c.room).hr);
    seq += c.count;
  }
}

TEST_F(CaptureViewTest, BufferWithoutRoomForDataIsRefused) {
  StartCapture(false);
  CCaptureView view(&m_mngt);
  Write(100, 0, 1);
  std::vector<BYTE> buf(kHdr, 0xAB);
  EXPECT_EQ(E_FAIL, view.GetUnreadFrames(buf.data(), kHdr));
  EXPECT_EQ(std::vector<BYTE>(kHdr, 0xAB), buf);
  EXPECT_EQ(E_FAIL, view.GetUnreadFrames(nullptr, 4096));
  EXPECT_EQ(S_OK, Get(view, 1).hr);
}

TEST_F(CaptureViewTest, RestartedCaptureFailsUntilTheViewIsReset) {
  StartCapture(false);
  Write(100, 0, 5);
  CCaptureView view(&m_mngt);
  Write(100, 5, 1);
  ASSERT_EQ(S_OK, m_mngt.Stop());
  ASSERT_EQ(S_OK, m_mngt.Start());
  Write(100, 0, 2);
  EXPECT_EQ(E_FAIL, Get(view, 4096).hr);
  view.Reset();
  EXPECT_EQ(S_FALSE, Get(view, 4096).hr);
  Write(100, 2, 1);
  const Packet p = Get(view, 4096);
  ASSERT_EQ(S_OK, p.hr);
  EXPECT_EQ(1, p.hdr.nId);
  EXPECT_EQ(std::vector<LONGLONG>{2}, Seqs(p.data));
}

// A 1 MiB ring of two files holds 50 records of 10400 bytes per file, so every rotation drops
// exactly 50 frames.
class CaptureViewOverflowTest : public CaptureViewTest {
 protected:
  static constexpr DWORD kSize = 10400;

  // Frames 0-99 fill both files; the view has taken them into one sequence and delivered the
  // first `delivered` of them.
  void Prepare(CCaptureView& view, LONG delivered) {
    Write(kSize, 0, 100);
    const Packet p = Get(view, kSize * delivered);
    ASSERT_EQ(S_OK, p.hr);
    ASSERT_EQ(Range(0, delivered), Seqs(p.data));
    ASSERT_EQ(0u, Overflows());
    m_written = 100;
  }
  // Writes until the ring has rotated `overflows` times in all.
  void WriteUntilOverflows(DWORD overflows) {
    while (Overflows() < overflows && m_written < 1000) Write(kSize, m_written++, 1);
    ASSERT_EQ(overflows, Overflows());
  }
  // Delivers everything left, checking that the records run on without a gap.
  std::vector<LONGLONG> Drain(CCaptureView& view, std::vector<TCapturePacketHdr>* hdrs) {
    std::vector<LONGLONG> seqs;
    for (int i = 0; i < 100; ++i) {
      const Packet p = Get(view, 4 * kSize);
      if (p.hr != S_OK) break;
      hdrs->push_back(p.hdr);
      for (LONGLONG s : Seqs(p.data)) seqs.push_back(s);
    }
    return seqs;
  }

  DWORD m_written = 0;
};

TEST_F(CaptureViewOverflowTest, DeliveryContinuesInTheSameSequenceWhenOnlyDeliveredFramesDrop) {
  StartCapture(true);
  CCaptureView view(&m_mngt);
  Prepare(view, 70);
  WriteUntilOverflows(1);
  const Packet p = Get(view, 30 * kSize);
  ASSERT_EQ(S_OK, p.hr);
  EXPECT_EQ(1, p.hdr.nId);
  EXPECT_EQ(1, p.hdr.nPacket);
  EXPECT_EQ(0u, p.hdr.cbLeft);
  EXPECT_EQ(Range(70, 100), Seqs(p.data));
  std::vector<TCapturePacketHdr> hdrs;
  EXPECT_EQ(Range(100, m_written), Drain(view, &hdrs));
  ASSERT_FALSE(hdrs.empty());
  EXPECT_EQ(2, hdrs[0].nId);
}

TEST_F(CaptureViewOverflowTest, DroppedUndeliveredFramesRestartAtTheOldestFrame) {
  StartCapture(true);
  CCaptureView view(&m_mngt);
  Prepare(view, 30);
  WriteUntilOverflows(1);
  std::vector<TCapturePacketHdr> hdrs;
  EXPECT_EQ(Range(50, m_written), Drain(view, &hdrs));
  ASSERT_FALSE(hdrs.empty());
  EXPECT_EQ(2, hdrs[0].nId);
  EXPECT_EQ(0, hdrs[0].nPacket);
}

TEST_F(CaptureViewOverflowTest, SeveralOverflowsBetweenCallsAreAllApplied) {
  StartCapture(true);
  CCaptureView view(&m_mngt);
  Prepare(view, 70);
  WriteUntilOverflows(2);  // 100 frames dropped: more than were delivered
  std::vector<TCapturePacketHdr> hdrs;
  EXPECT_EQ(Range(100, m_written), Drain(view, &hdrs));
  ASSERT_FALSE(hdrs.empty());
  EXPECT_EQ(2, hdrs[0].nId);
}

}  // namespace
