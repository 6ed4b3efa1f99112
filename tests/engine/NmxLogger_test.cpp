// The capture engine: frames from commands, the queue and its drops, the writer thread,
// start and stop, the self-stop on a full file, views.
#include "engine/NmxLogger.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "EngineTestUtil.h"
#include "service/ViewerService.h"

using namespace engtest;

namespace {

constexpr DWORD kMiB = 1048576;

// An engine whose writer can be held inside its first write.
class HeldEngine : public CNmxLogger {
 public:
  using CNmxLogger::CNmxLogger;
  ~HeldEngine() override {
    Let();
    Shutdown();
  }
  void Hold() {
    std::lock_guard<std::mutex> l(m_m);
    m_bHold = true;
  }
  void Let() {
    {
      std::lock_guard<std::mutex> l(m_m);
      m_bHold = false;
    }
    m_cv.notify_all();
  }
  std::atomic<int> m_nWrites{0};
  void SetCycle(LONG ms) { SetWriterCycle(ms); }

 protected:
  HRESULT WriteCaptureFrames(const FRAME* const* frames, size_t n, size_t* pnStored) override {
    m_nWrites += static_cast<int>(n);
    {
      std::unique_lock<std::mutex> l(m_m);
      m_cv.wait(l, [this] { return !m_bHold; });
    }
    return CNmxLogger::WriteCaptureFrames(frames, n, pnStored);
  }

 private:
  std::mutex m_m;
  std::condition_variable m_cv;
  bool m_bHold = false;
};

CmdFields Numbered(DWORD n, DWORD cbData = 0) {
  CmdFields s;
  s.stateFlags = 0;
  s.hUser = n;
  s.data.assign(cbData, static_cast<BYTE>(n));
  return s;
}

LONG Frames(CNmxLogger& e) {
  LONG n = 0;
  ULONG cb = 0, ov = 0;
  e.GetCaptureInfo(n, cb, ov);
  return n;
}

TEST(NmxLoggerTest, FramesFromCommands) {
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  CaptureInto(engine, dir, 2 * kMiB);

  // While stopped nothing is copied.
  engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(99))));

  const LONGLONG kRouterTime = 0x01D9000011112222;
  CmdFields stamped = Numbered(1, 100);
  stamped.stateFlags = NMX_FLAG_TIMESTAMP | NMX_FLAG_KRP_COMMAND;
  vx::EncodeLE64(stamped.data.data() + 92, kRouterTime);
  CmdFields shortStamped = Numbered(2, 5);
  shortStamped.stateFlags = NMX_FLAG_TIMESTAMP;
  const CmdFields plain = Numbered(3, 40);

  ASSERT_TRUE(engine.Start());
  const LONGLONG before = OsUserGetSystemTimeAsFileTime();
  for (const CmdFields& s : {stamped, shortStamped, plain}) {
    // Exact-size buffers: a read beyond a command is caught by the sanitizer.
    const Bytes cmd = MakeCmd(s);
    engine.OnNmxReceive(AsCmd(cmd));
  }
  ASSERT_TRUE(vxtest::WaitUntil([&] { return Frames(engine) == 3; })) << Frames(engine);
  const LONGLONG after = OsUserGetSystemTimeAsFileTime();
  ASSERT_TRUE(engine.Stop());

  const captest::Parsed p = ReadCapture(dir);
  ASSERT_TRUE(p.ok) << p.why;
  ASSERT_EQ(p.frames.size(), 3u);

  // The router's stamp: 92 data bytes stored, the flag cleared, the stamp as frame time.
  const Bytes& r0 = p.frames[0];
  EXPECT_EQ(vx::DecodeLE64(r0.data()), static_cast<ULONGLONG>(kRouterTime));
  EXPECT_EQ(r0.size(), vxcap::kPacketOffset + NMX_HEAD_SIZE + 92);
  NmxHead h = StoredHead(r0);
  EXPECT_EQ(h.cbData, 92u);
  EXPECT_EQ(h.stateFlags, NMX_FLAG_KRP_COMMAND);
  EXPECT_EQ(h.hUser, 1u);
  EXPECT_TRUE(std::equal(stamped.data.begin(), stamped.data.begin() + 92,
                         r0.begin() + vxcap::kPacketOffset + NMX_HEAD_SIZE));

  // Too short for a stamp, and no stamp: stored whole with the clock's time.
  const CmdFields* whole[] = {&shortStamped, &plain};
  for (int i = 1; i <= 2; ++i) {
    const Bytes& r = p.frames[i];
    const Bytes want = MakeCmd(*whole[i - 1]);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), r.begin() + vxcap::kPacketOffset, r.end()))
        << i;
    const LONGLONG t = static_cast<LONGLONG>(vx::DecodeLE64(r.data()));
    EXPECT_GE(t, before) << i;
    EXPECT_LE(t, after) << i;
  }
}

// The queue holds NMX_FRAME_QUEUE_BYTES of records, and has a node for every smallest record
// that fits: small or large, the frame that finds it full is the one dropped and counted.
TEST(NmxLoggerTest, FullQueueDropsAndCounts) {
  struct Case {
    const char* what;
    DWORD cbData;
  };
  for (const Case& c : {Case{"smallest records", 0}, Case{"4 KiB records", 4096}}) {
    SCOPED_TRACE(c.what);
    vxtest::TempDir dir;
    HeldEngine engine(nullptr);
    CaptureInto(engine, dir, 64 * kMiB);
    ASSERT_TRUE(engine.Start());
    engine.Hold();
    engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(0, c.cbData))));
    // The writer holds frame 0; the queue is empty and fills up to its bound.
    ASSERT_TRUE(vxtest::WaitUntil([&] { return engine.m_nWrites == 1; }));
    const DWORD fit =
        static_cast<DWORD>(NMX_FRAME_QUEUE_BYTES / vxcap::RecordSize(NMX_HEAD_SIZE + c.cbData));
    const DWORD n = fit + 1;
    for (DWORD i = 1; i <= n; ++i) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(i, c.cbData))));
    EXPECT_EQ(engine.GetDroppedFrames(), 1u);
    engine.Let();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return Frames(engine) == LONG(n); })) << Frames(engine);
    ASSERT_TRUE(engine.Stop());

    const captest::Parsed p = ReadCapture(dir);
    ASSERT_TRUE(p.ok) << p.why;
    ASSERT_EQ(p.frames.size(), n);
    for (DWORD i = 0; i < n; ++i) ASSERT_EQ(StoredHead(p.frames[i]).hUser, i);
    EXPECT_EQ(engine.GetDroppedFrames(), 1u);
    // Each run counts its own drops.
    ASSERT_TRUE(engine.Start());
    EXPECT_EQ(engine.GetDroppedFrames(), 0u);
  }
}

// Between its cycles the writer also takes the queue as soon as it passes its high-water
// mark, in frames or in bytes, and not before: with an hour-long cycle nothing else wakes it.
TEST(NmxLoggerTest, WriterWakesWhenTheQueuePassesItsHighWaterMark) {
  struct Case {
    const char* what;
    DWORD cbData;
  };
  for (const Case& c : {Case{"frames", 0}, Case{"bytes", 65536}}) {
    SCOPED_TRACE(c.what);
    vxtest::TempDir dir;
    HeldEngine engine(nullptr);
    CaptureInto(engine, dir, 64 * kMiB);
    ASSERT_TRUE(engine.Start());
    // The writer is held in its first write, with the queue empty behind it.
    engine.Hold();
    engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(0, c.cbData))));
    ASSERT_TRUE(vxtest::WaitUntil([&] { return engine.m_nWrites == 1; }));
    engine.SetCycle(3600 * 1000);

    const size_t cbRecord = vxcap::RecordSize(NMX_HEAD_SIZE + c.cbData);
    const DWORD mark = c.cbData
                           ? static_cast<DWORD>((NMX_WRITER_WAKE_BYTES + cbRecord - 1) / cbRecord)
                           : NMX_WRITER_WAKE_FRAMES;
    for (DWORD i = 1; i < mark; ++i) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(i, c.cbData))));
    engine.Let();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return Frames(engine) == 1; }));
    OsUserSleep(100);
    EXPECT_EQ(Frames(engine), 1) << "woken below the mark";
    engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(mark, c.cbData))));
    ASSERT_TRUE(vxtest::WaitUntil([&] { return Frames(engine) == LONG(mark) + 1; }))
        << Frames(engine);
    ASSERT_TRUE(engine.Stop());
    const captest::Parsed p = ReadCapture(dir);
    ASSERT_TRUE(p.ok) << p.why;
    ASSERT_EQ(p.frames.size(), mark + 1);
    for (DWORD i = 0; i <= mark; ++i) ASSERT_EQ(StoredHead(p.frames[i]).hUser, i);
  }
}

// Frames received before the stop are written, though the writer had not taken them yet when
// the stop began; only a frame that arrives once the stop has begun is refused.
TEST(NmxLoggerTest, StopWritesWhatWasQueuedBeforeIt) {
  vxtest::TempDir dir;
  HeldEngine engine(nullptr);
  CaptureInto(engine, dir, 2 * kMiB);
  ASSERT_TRUE(engine.Start());
  engine.Hold();
  engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(0))));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return engine.m_nWrites == 1; }));
  // An hour-long cycle: only the stop makes the writer come back for these.
  engine.SetCycle(3600 * 1000);
  for (DWORD i = 1; i <= 5; ++i) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(i))));

  std::thread stopper([&] { EXPECT_TRUE(engine.Stop()); });
  ASSERT_TRUE(vxtest::WaitUntil([&] { return !engine.IsStarted(); }));
  engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(6))));  // refused: stopping
  engine.Let();
  stopper.join();

  const captest::Parsed p = ReadCapture(dir);
  ASSERT_TRUE(p.ok) << p.why;
  ASSERT_EQ(p.frames.size(), 6u);
  for (DWORD i = 0; i < 6; ++i) EXPECT_EQ(StoredHead(p.frames[i]).hUser, i);
  EXPECT_EQ(engine.m_nWrites, 6);
  EXPECT_EQ(engine.GetDroppedFrames(), 0u);
}

TEST(NmxLoggerTest, StartAndStopOncePerRun) {
  vxtest::TempDir dir;
  CountingCallback cb;
  CNmxLogger engine(&cb);
  CaptureInto(engine, dir, 2 * kMiB);

  EXPECT_FALSE(engine.Stop());
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.IsStarted());
  EXPECT_FALSE(engine.Start());
  EXPECT_EQ(cb.starts, 1);
  ASSERT_TRUE(engine.Stop());
  EXPECT_FALSE(engine.IsStarted());
  EXPECT_FALSE(engine.Stop());
  EXPECT_EQ(cb.stops, 1);

  // A capture manager that cannot start: a line with its reason, no callback.
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.folder = (dir / "missing").c_str(); });
  testing::internal::CaptureStdout();
  EXPECT_FALSE(engine.Start());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Failed to start capture! ", 0), 0u) << out;
  EXPECT_FALSE(engine.IsStarted());
  EXPECT_EQ(cb.starts, 1);
  EXPECT_EQ(cb.stops, 1);
}

TEST(NmxLoggerTest, OneViewWithHandleOne) {
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  CViewerService service(engine.ViewerFace());
  CaptureInto(engine, dir, 2 * kMiB);
  EXPECT_EQ(service.GetView(1), nullptr);
  ASSERT_EQ(service.CreateView(), 1);
  ASSERT_EQ(service.CreateView(), 1);
  EXPECT_NE(service.GetView(1), nullptr);
  EXPECT_EQ(service.GetView(2), nullptr);
  service.CloseView(2);
  ASSERT_NE(service.GetView(1), nullptr);

  // The view reads the capture that starts after it.
  ASSERT_TRUE(engine.Start());
  for (DWORD i = 0; i < 3; ++i) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(i, 10))));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return Frames(engine) == 3; }));
  {
    COsCsLock lock(service.ViewLock());
    std::vector<BYTE> packet(4096);
    EXPECT_EQ(service.GetView(1)->GetUnreadFrames(packet.data(), 4096), S_OK);
    EXPECT_EQ(service.GetView(1)->GetUnreadFrames(packet.data(), 4096), S_FALSE);
  }
  service.CloseView(1);
  EXPECT_EQ(service.GetView(1), nullptr);
  ASSERT_TRUE(engine.Stop());
}

TEST(NmxLoggerTest, StopsItselfWhenTheSingleFileIsFull) {
  vxtest::TempDir dir;
  CountingCallback cb;
  HeldEngine engine(&cb);
  CaptureInto(engine, dir, kMiB);
  // Held, so that every frame reaches the queue before the writer can fill the file and stop
  // the run: frames fed after that stop are ignored, not lost.
  engine.Hold();
  ASSERT_TRUE(engine.Start());
  for (DWORD i = 0; i < 1500; ++i) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(i, 1000))));
  engine.Let();
  ASSERT_TRUE(vxtest::WaitUntil([&] { return cb.stops == 1; }));
  EXPECT_FALSE(engine.IsStarted());
  EXPECT_FALSE(engine.Stop());
  EXPECT_EQ(cb.stops, 1);

  const captest::Parsed p = ReadCapture(dir);
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_GT(p.frames.size(), 900u);
  EXPECT_LT(p.frames.size(), 1000u);
  for (size_t i = 0; i < p.frames.size(); ++i) ASSERT_EQ(StoredHead(p.frames[i]).hUser, i);
  // Every frame the full file could not take is owned up to as lost: the batch that did not
  // fit, the rest of the writer's batch and what was still queued; the count is the file's.
  EXPECT_EQ(Frames(engine), static_cast<LONG>(p.frames.size()));
  EXPECT_EQ(engine.GetDroppedFrames(), 1500u - p.frames.size());

  // The next run starts afresh.
  ASSERT_TRUE(engine.Start());
  EXPECT_EQ(cb.starts, 2);
  ASSERT_TRUE(engine.Stop());
  EXPECT_EQ(cb.stops, 2);
}

// A disk without room for a while: the engine keeps capturing, the first error is reported
// once, and every frame fed is either in the file, in order, or counted as dropped.
TEST(NmxLoggerTest, WriteErrorsAreOwnedUpTo) {
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  CaptureInto(engine, dir, kMiB);
  ASSERT_TRUE(engine.Start());
  HRESULT hr = S_OK;
  EXPECT_FALSE(engine.TakeWriteError(hr));
  DWORD fed = 0;
  {
    captest::FileSizeLimit limit(32768);
    ASSERT_TRUE(limit.ok());
    for (; fed < 200; ++fed) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(fed, 1000))));
    ASSERT_TRUE(vxtest::WaitUntil(
        [&] { return static_cast<ULONGLONG>(Frames(engine)) + engine.GetDroppedFrames() == fed; }));
    EXPECT_GT(engine.GetDroppedFrames(), 0u);
    EXPECT_TRUE(engine.TakeWriteError(hr));
    EXPECT_EQ(hr, HRESULT_FROM_OS_ERROR(EFBIG));
    EXPECT_FALSE(engine.TakeWriteError(hr));
  }
  for (; fed < 300; ++fed) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(fed, 1000))));
  ASSERT_TRUE(vxtest::WaitUntil(
      [&] { return static_cast<ULONGLONG>(Frames(engine)) + engine.GetDroppedFrames() == fed; }));
  EXPECT_TRUE(engine.IsStarted());
  ASSERT_TRUE(engine.Stop());
  EXPECT_FALSE(engine.TakeWriteError(hr));

  const captest::Parsed p = ReadCapture(dir);
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_EQ(p.frames.size() + engine.GetDroppedFrames(), fed);
  EXPECT_EQ(StoredHead(p.frames.back()).hUser, fed - 1);
  for (size_t i = 1; i < p.frames.size(); ++i)
    ASSERT_LT(StoredHead(p.frames[i - 1]).hUser, StoredHead(p.frames[i]).hUser);

  // The next run starts without an error.
  ASSERT_TRUE(engine.Start());
  EXPECT_FALSE(engine.TakeWriteError(hr));
  EXPECT_EQ(engine.GetDroppedFrames(), 0u);
  ASSERT_TRUE(engine.Stop());
}

// A host's Stop racing with the self-stop: whichever ends the run, it ends once.
TEST(NmxLoggerTest, StopRacingTheSelfStopEndsTheRunOnce) {
  vxtest::TempDir dir;
  CountingCallback cb;
  CNmxLogger engine(&cb);
  CaptureInto(engine, dir, kMiB);
  for (int run = 1; run <= 5; ++run) {
    ASSERT_TRUE(engine.Start());
    for (DWORD i = 0; i < 1100; ++i) engine.OnNmxReceive(AsCmd(MakeCmd(Numbered(i, 1000))));
    std::this_thread::sleep_for(std::chrono::milliseconds(run * 10));
    engine.Stop();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return cb.stops == run; })) << run;
    EXPECT_FALSE(engine.IsStarted());
    const captest::Parsed p = ReadCapture(dir);
    ASSERT_TRUE(p.ok) << p.why;
  }
  EXPECT_EQ(cb.starts, 5);
  EXPECT_EQ(cb.stops, 5);
}

// Feeders on several threads while the capture starts and stops: every file is valid and each
// feeder's frames keep their order.
TEST(NmxLoggerTest, FeedersDuringStartAndStop) {
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  CaptureInto(engine, dir, 4 * kMiB);
  std::atomic<bool> done{false};
  std::vector<std::thread> feeders;
  for (WORD t = 0; t < 3; ++t) {
    feeders.emplace_back([&engine, &done, t] {
      CmdFields s = Numbered(0, 16);
      s.sender.port = t;
      Bytes cmd = MakeCmd(s);
      for (DWORD i = 0; !done; ++i) {
        AsCmd(cmd)->head.hUser = i;
        engine.OnNmxReceive(AsCmd(cmd));
        if (i % 64 == 0) std::this_thread::yield();
      }
    });
  }
  for (int run = 0; run < 4; ++run) {
    ASSERT_TRUE(engine.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    engine.Stop();  // the file may have filled up and stopped the run already
    ASSERT_FALSE(engine.IsStarted());
    const captest::Parsed p = ReadCapture(dir);
    ASSERT_TRUE(p.ok) << p.why;
    DWORD last[3] = {0, 0, 0};
    bool seen[3] = {false, false, false};
    for (const Bytes& r : p.frames) {
      const NmxHead h = StoredHead(r);
      ASSERT_LT(h.sender.port, 3);
      if (seen[h.sender.port]) {
        ASSERT_GT(h.hUser, last[h.sender.port]);
      }
      seen[h.sender.port] = true;
      last[h.sender.port] = h.hUser;
    }
  }
  done = true;
  for (auto& f : feeders) f.join();
}

}  // namespace
