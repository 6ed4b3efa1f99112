// Index group 0x1500 and notifications: the frames of a view read on request and pushed
// cyclically, each exactly once and in order, and the life of a view and its notification.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "service/ViewerServiceTestUtil.h"

using namespace vstest;

namespace {

constexpr DWORD kGeneral = 0x700;
constexpr DWORD kNotSupported = 0x701;
constexpr DWORD kNoView = 0x703;
constexpr DWORD kInvalidSize = 0x705;
constexpr DWORD kInvalidHandle = 0x714;
constexpr DWORD kCycle1ms = 10000;

class Views : public EngineFixture {
 protected:
  void StartCapture(Client& c) {
    ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  }

  DWORD OpenView(Client& c) {
    const Answer a = c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 4, {});
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(a.data, LE32s({1}));
    return Word(a.data);
  }

  // Reads notification samples until `frames` records were reassembled; every sample must
  // carry hNote and a time stamp taken while the test ran.
  void ReceiveFrames(Client& c, DWORD hNote, size_t frames, Reassembler* r) {
    std::string error;
    while (r->Records().size() < frames) {
      Sample s;
      ASSERT_TRUE(c.NextSample(&s, &error)) << error << " after " << r->Records().size();
      EXPECT_EQ(s.handle, hNote);
      EXPECT_GE(s.time, m_start);
      EXPECT_LE(s.time, OsUserGetSystemTimeAsFileTime());
      ASSERT_TRUE(r->Add(s.data, &error)) << error;
    }
  }

  // The records are the fed commands from `first` on, in order.
  void ExpectFed(const std::vector<Bytes>& records, size_t first) {
    ASSERT_LE(first + records.size(), m_fed.size());
    for (size_t i = 0; i < records.size(); ++i)
      ASSERT_EQ(PacketOf(records[i]), m_fed[first + i]) << "frame " << i;
  }

  const LONGLONG m_start = OsUserGetSystemTimeAsFileTime();
};

TEST_F(Views, ReadOnRequestDeliversNewFramesInPacketsOfTheViewersSize) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Read(KRPCOMM_IG_VIEW, 1, 4096).result, kNoView);
  EXPECT_EQ(c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 8, {}).result, kInvalidSize);
  StartCapture(c);
  Feed(4);  // before the view: not delivered
  ASSERT_TRUE(WaitFrames(4));
  ASSERT_EQ(OpenView(c), 1u);
  EXPECT_EQ(c.Read(KRPCOMM_IG_VIEW, 2, 4096).result, kNoView);
  EXPECT_EQ(c.Read(KRPCOMM_IG_VIEW, 1, 24).result, kInvalidSize);
  // No new frames: an empty answer that succeeds.
  Answer a = c.Read(KRPCOMM_IG_VIEW, 1, 4096);
  EXPECT_EQ(a.result, 0u);
  EXPECT_TRUE(a.data.empty());

  // Records of 140 bytes in packets with room for 250 bytes of data: the records are split
  // across packets and put together again.
  Feed(7);
  ASSERT_TRUE(WaitFrames(11));
  Reassembler r;
  std::string error;
  int packets = 0;
  do {
    a = c.Read(KRPCOMM_IG_VIEW, 1, 24 + 250);
    ASSERT_EQ(a.result, 0u);
    ASSERT_FALSE(a.data.empty());
    ASSERT_TRUE(r.Add(a.data, &error)) << error;
    ++packets;
  } while (Word(a.data, 4) != 0);
  EXPECT_EQ(packets, 4);
  ASSERT_EQ(r.Records().size(), 7u);
  ExpectFed(r.Records(), 4);

  // Closed: gone, and a second close finds nothing.
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_VIEW, LE32s({1})).result, 0u);
  EXPECT_EQ(c.Read(KRPCOMM_IG_VIEW, 1, 4096).result, kNoView);
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_VIEW, LE32s({1})).result, 0x70Bu);
}

TEST_F(Views, NotificationPushesEveryFrameOnceInOrderWithTheCurrentTime) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.AddNotification(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4096, kCycle1ms).result,
            kNotSupported);
  EXPECT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, 1, 4096, kCycle1ms).result, kNoView);
  StartCapture(c);
  const DWORD hView = OpenView(c);
  EXPECT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, hView, 24, kCycle1ms).result, kInvalidSize);
  EXPECT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, hView, (16u << 20) + 1, kCycle1ms).result,
            kInvalidSize);
  // Small packets, so that bursts continue over several packets.
  const Answer add = c.AddNotification(KRPCOMM_IG_VIEW, hView, 24 + 300, kCycle1ms);
  ASSERT_EQ(add.result, 0u);
  const DWORD hNote = Word(add.data);
  EXPECT_EQ(hNote, 1u);
  EXPECT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, hView, 4096, kCycle1ms).result, kGeneral);

  Reassembler r;
  for (int round = 0; round < 5; ++round) {
    Feed(40, 64 + 37 * round);
    ASSERT_NO_FATAL_FAILURE(ReceiveFrames(c, hNote, m_fed.size(), &r));
  }
  ExpectFed(r.Records(), 0);

  EXPECT_EQ(c.DelNotification(hNote).result, 0u);
  EXPECT_EQ(c.DelNotification(hNote).result, kInvalidHandle);
  EXPECT_EQ(c.DelNotification(77).result, kInvalidHandle);
  // The view keeps its handle: no new notification until it is opened again.
  EXPECT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, hView, 4096, kCycle1ms).result, kGeneral);
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_VIEW, LE32s({hView})).result, 0u);
  ASSERT_EQ(OpenView(c), 1u);
  const Answer again = c.AddNotification(KRPCOMM_IG_VIEW, 1, 4096, kCycle1ms);
  EXPECT_EQ(again.result, 0u);
  EXPECT_EQ(Word(again.data), 2u);
  // Reopening the view ends its notification first.
  ASSERT_EQ(OpenView(c), 1u);
  EXPECT_EQ(c.DelNotification(2).result, kInvalidHandle);
}

TEST_F(Views, ARecordLargerThanAPacketArrivesWhole) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  StartCapture(c);
  const DWORD hView = OpenView(c);
  const Answer add = c.AddNotification(KRPCOMM_IG_VIEW, hView, 24 + 1000, kCycle1ms);
  ASSERT_EQ(add.result, 0u);
  Feed(3, 5000);
  Reassembler r;
  ASSERT_NO_FATAL_FAILURE(ReceiveFrames(c, Word(add.data), 3, &r));
  ExpectFed(r.Records(), 0);
}

// A viewer may read a view on request while its notification reads it too; the two are
// served one after the other, so whatever either path delivers is well formed.
TEST_F(Views, ReadsOnRequestAndByNotificationDoNotInterleave) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  StartCapture(c);
  const DWORD hView = OpenView(c);
  ASSERT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, hView, 24 + 200, kCycle1ms).result, 0u);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    for (DWORD n = 1; !stop; ++n) {
      Bytes cmd = TrafficCommand(n, 100);
      m_engine->OnNmxReceive(reinterpret_cast<const NmxCmd*>(cmd.data()));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  TCapturePacketHdr h{};
  for (int i = 0; i < 300; ++i) {
    const Answer a = c.Read(KRPCOMM_IG_VIEW, 1, 24 + 200);
    ASSERT_EQ(a.result, 0u);
    if (a.data.empty()) continue;
    ASSERT_TRUE(vxcap::DecodeCapturePacketHdr(a.data.data(), a.data.size(), &h));
    ASSERT_EQ(h.cbData + 24, a.data.size());
  }
  stop = true;
  feeder.join();
  Feed(5);
  std::string error;
  Sample s;
  ASSERT_TRUE(c.NextSample(&s, &error)) << error;
  ASSERT_TRUE(vxcap::DecodeCapturePacketHdr(s.data.data(), s.data.size(), &h));
  EXPECT_EQ(h.cbData + 24, s.data.size());
}

}  // namespace
