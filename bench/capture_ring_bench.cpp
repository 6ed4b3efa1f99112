// The capture manager's write path into a rotating ring (the engine's writer thread) and a
// view draining what was captured (the viewer's reads).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "capture/CaptureFormat.h"
#include "capture/CaptureMngt.h"
#include "capture/CaptureView.h"
#include "common/TestUtil.h"

namespace {

std::vector<BYTE> Record(DWORD size) {
  std::vector<BYTE> packet(size - vxcap::kPacketOffset, 0x5A);
  vx::EncodeLE32(packet.data() + vxcap::kNmxCbDataOffset,
                 size - vxcap::kPacketOffset - vxcap::kNmxHeadSize);
  std::vector<BYTE> rec(size);
  vxcap::EncodeRecord(rec.data(), rec.size(), 1, packet.data(), size - vxcap::kPacketOffset);
  return rec;
}

// The engine's defaults: 1 MiB in two ring files, a 64 KiB buffer; records of range(0) bytes.
void BM_MngtWriteFrameRing(benchmark::State& state) {
  vxtest::TempDir dir;
  CCaptureMngt mngt(1048576, 65536, 10000, 2, true);
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = "bench.cap"; });
  if (FAILED(mngt.Start())) {
    state.SkipWithError("Start failed");
    return;
  }
  const DWORD size = static_cast<DWORD>(state.range(0));
  const std::vector<BYTE> rec = Record(size);
  const FRAME* frame = reinterpret_cast<const FRAME*>(rec.data());
  for (auto _ : state) benchmark::DoNotOptimize(mngt.WriteFrame(frame));
  LONG frames = 0;
  DWORD bytes = 0, overflows = 0;
  mngt.GetCaptureInfo(frames, bytes, overflows);
  state.counters["overflows"] = overflows;
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  mngt.Stop();
}
BENCHMARK(BM_MngtWriteFrameRing)->Arg(100)->Arg(1000)->UseRealTime();

// A view delivering 5000 new records of 200 bytes in packets of range(0) bytes; the records
// come from the ring files and the buffer behind them.
void BM_ViewDrain(benchmark::State& state) {
  vxtest::TempDir dir;
  CCaptureMngt mngt(8 * 1048576, 65536, 10000, 4, true);
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
  mngt.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = "bench.cap"; });
  if (FAILED(mngt.Start())) {
    state.SkipWithError("Start failed");
    return;
  }
  CCaptureView view(&mngt);
  const std::vector<BYTE> rec = Record(200);
  const FRAME* frame = reinterpret_cast<const FRAME*>(rec.data());
  std::vector<BYTE> packet(static_cast<size_t>(state.range(0)));
  int64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 5000; ++i) mngt.WriteFrame(frame);
    state.ResumeTiming();
    while (view.GetUnreadFrames(packet.data(), static_cast<DWORD>(packet.size())) == S_OK)
      bytes += vx::DecodeLE32(packet.data() + 8);
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations() * 5000);
  mngt.Stop();
}
BENCHMARK(BM_ViewDrain)->Arg(1024)->Arg(65536)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
