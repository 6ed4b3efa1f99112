// The capture engine: the cost of one OnNmxReceive on the router port's thread, and the rate
// at which frames are captured while another thread feeds as fast as it can.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/TestUtil.h"
#include "engine/NmxLogger.h"
#include "nmx/NmxPort.h"
#include "os/ByteOrder.h"

namespace {

// A command as the router delivers it to port 2: size bytes in all, its last 8 data bytes the
// router's time stamp.
std::vector<BYTE> RouterCommand(DWORD size) {
  std::vector<BYTE> b(size, 0x5A);
  NmxAddr target, sender;
  target.port = 851;
  sender.port = 30000;
  CNmxPort::NmxMakeHead(*reinterpret_cast<NmxHead*>(b.data()), 2,
                        static_cast<LONG>(size - NMX_HEAD_SIZE), target, sender, 1, 0,
                        NMX_FLAG_KRP_COMMAND | NMX_FLAG_TIMESTAMP);
  vx::EncodeLE64(b.data() + size - 8, 133000000000000000ull);
  return b;
}

// Counts what the writer takes and stores nothing, so only the receive path is measured.
class CountingEngine : public CNmxLogger {
 public:
  CountingEngine() : CNmxLogger(nullptr) {}
  ~CountingEngine() override { Shutdown(); }
  std::atomic<ULONGLONG> m_nWritten{0};

 protected:
  HRESULT WriteCaptureFrames(const FRAME* const*, size_t n, size_t* pnStored) override {
    m_nWritten.fetch_add(n, std::memory_order_relaxed);
    *pnStored = n;
    return S_OK;
  }
};

void BM_OnNmxReceive(benchmark::State& state) {
  vxtest::TempDir dir;
  CountingEngine engine;
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.saveFileName = "bench.cap"; });
  if (!engine.Start()) {
    state.SkipWithError("engine did not start");
    return;
  }
  const std::vector<BYTE> cmd = RouterCommand(static_cast<DWORD>(state.range(0)));
  const NmxCmd* p = reinterpret_cast<const NmxCmd*>(cmd.data());
  // The queue holds 10000 frames and the writer empties it every 25 ms; the clock stops while
  // it catches up, so every measured call queues its frame.
  constexpr ULONGLONG kChunk = 8000;
  ULONGLONG sent = 0;
  for (auto _ : state) {
    engine.OnNmxReceive(p);
    if (++sent % kChunk == 0) {
      state.PauseTiming();
      while (engine.m_nWritten.load() + engine.GetDroppedFrames() < sent)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      state.ResumeTiming();
    }
  }
  state.counters["dropped"] = static_cast<double>(engine.GetDroppedFrames());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  engine.Stop();
}
BENCHMARK(BM_OnNmxReceive)->Arg(64)->Arg(256)->Arg(1400);

struct RunResult {
  double seconds;
  ULONGLONG captured;
  ULONGLONG dropped;
};

// Feeds commands of `size` bytes for `seconds`, at most `rate` per second (0: as fast as
// possible), into a ring of capture files, and counts what was captured.
RunResult Feed(CNmxLogger& engine, double seconds, double rate, DWORD size) {
  const std::vector<BYTE> cmd = RouterCommand(size);
  const NmxCmd* p = reinterpret_cast<const NmxCmd*>(cmd.data());
  RunResult r{};
  if (!engine.Start()) return r;
  const auto t0 = std::chrono::steady_clock::now();
  const auto end = t0 + std::chrono::duration<double>(seconds);
  ULONGLONG sent = 0;
  for (auto now = t0; now < end; now = std::chrono::steady_clock::now()) {
    for (int i = 0; i < 64; ++i) engine.OnNmxReceive(p);
    sent += 64;
    if (rate > 0) {
      const auto due = t0 + std::chrono::duration<double>(static_cast<double>(sent) / rate);
      if (due > now) std::this_thread::sleep_until(due);
    }
  }
  // Let the writer take the rest of the queue before the run ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  LONG nFrames = 0;
  DWORD cbFrames = 0, nOverflows = 0;
  LONGLONG nRingDropped = 0;
  ULONGLONG cbRingDropped = 0;
  engine.GetCaptureMngt()->GetCaptureInfo(nFrames, cbFrames, nOverflows, nRingDropped,
                                          cbRingDropped);
  r.captured = static_cast<ULONGLONG>(nFrames) + static_cast<ULONGLONG>(nRingDropped);
  r.dropped = engine.GetDroppedFrames();
  engine.Stop();
  return r;
}

// The floor: what one thread does at least to store the same records, without queue, writer
// or capture file: allocate a block, build the record in it (stamp taken from the command,
// as the engine does), copy it into a 64 KiB buffer written to a file when full, free the
// block. Frames per second over `seconds`.
double FloorLoop(const std::string& path, DWORD size, double seconds) {
  const std::vector<BYTE> cmd = RouterCommand(size);
  const DWORD cbPacket = size - 8;
  const DWORD cbRecord = vxcap::RecordSize(cbPacket);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::setvbuf(f, nullptr, _IONBF, 0);
  std::vector<BYTE> out(64 << 10);
  size_t used = 0;
  ULONGLONG frames = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const auto end = t0 + std::chrono::duration<double>(seconds);
  for (auto now = t0; now < end; now = std::chrono::steady_clock::now()) {
    for (int i = 0; i < 64; ++i) {
      BYTE* rec = static_cast<BYTE*>(malloc(cbRecord));
      vxcap::EncodeRecord(rec, cbRecord,
                          static_cast<LONGLONG>(vx::DecodeLE64(cmd.data() + cbPacket)), cmd.data(),
                          cbPacket);
      if (used + cbRecord > out.size()) {
        if (std::fwrite(out.data(), 1, used, f) != used) break;
        used = 0;
      }
      std::memcpy(out.data() + used, rec, cbRecord);
      used += cbRecord;
      free(rec);
      ++frames;
    }
  }
  std::fwrite(out.data(), 1, used, f);
  std::fclose(f);
  const double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return static_cast<double>(frames) / sec;
}

// First as fast as one feeder can: the frames captured per second are what the writer, the
// capture manager and the disk sustain while the feeder takes a core. Then paced at 95 %,
// 90 %, ... of that rate until a run drops nothing: the highest rate captured without loss.
// Next to it the floor loop for the same records.
void BM_SustainedCapture(benchmark::State& state) {
  const DWORD size = static_cast<DWORD>(state.range(0));
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.saveFileName = "bench.cap"; });
  // As the console captures by default: a 15 MiB ring of 3 files, the engine's buffer.
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.bRingBuffer = true; });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.nRingBufferFiles = 3; });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.cbFile = 15u * 1048576; });
  RunResult full{}, paced{};
  double share = 1.0, floor = 0;
  for (auto _ : state) {
    full = Feed(engine, 2.0, 0, size);
    const double rate = full.captured / full.seconds;
    double seconds = full.seconds;
    do {
      share -= 0.05;
      paced = Feed(engine, 2.0, share * rate, size);
      seconds += paced.seconds;
    } while (paced.dropped != 0 && share > 0.15);
    floor = FloorLoop(dir / "floor.bin", size, 2.0);
    state.SetIterationTime(seconds);
  }
  const double lossless = paced.dropped == 0 ? paced.captured / paced.seconds : 0;
  state.counters["frames_per_s"] = full.captured / full.seconds;
  state.counters["dropped_full_speed"] = static_cast<double>(full.dropped);
  state.counters["lossless_frames_per_s"] = lossless;
  state.counters["floor_frames_per_s"] = floor;
  std::printf(
      "ROW|engine in process, %u-byte commands (one feeder thread; the console's 15 MiB ring of 3 "
      "files)|full "
      "speed %.0f frames/s (%.0f dropped); zero loss at %.0f frames/s = %.0f%% of the floor "
      "loop's %.0f frames/s|bench_engine --benchmark_filter=SustainedCapture/%u\n",
      size, full.captured / full.seconds, static_cast<double>(full.dropped), lossless,
      floor > 0 ? 100 * lossless / floor : 0, floor, size);
  std::fflush(stdout);
}
BENCHMARK(BM_SustainedCapture)
    ->Arg(64)
    ->Arg(256)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
