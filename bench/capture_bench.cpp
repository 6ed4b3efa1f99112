// Capture files on disk: the region moves and copies of the file stream, and appends that move
// a growing frame table, single and batched.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/CaptureFormat.h"
#include "capture/CaptureMem.h"
#include "common/TestUtil.h"
#include "os/OsUserFile.h"
#include "support/VxStream.h"

namespace {

std::vector<BYTE> Record(DWORD size) {
  std::vector<BYTE> packet(size - vxcap::kPacketOffset, 0x5A);
  vx::EncodeLE32(packet.data() + vxcap::kNmxCbDataOffset,
                 static_cast<DWORD>(packet.size()) - vxcap::kNmxHeadSize);
  std::vector<BYTE> rec(size);
  vxcap::EncodeRecord(rec.data(), rec.size(), 1, packet.data(), static_cast<DWORD>(packet.size()));
  return rec;
}

// Appends n records of `size` bytes in batches through a memory capture.
bool Fill(CCaptureFile& file, LONG n, DWORD size) {
  const std::vector<BYTE> rec = Record(size);
  while (n > 0) {
    CCaptureMem mem;
    if (FAILED(mem.Create(1 << 20))) return false;
    mem.SetStartOffset(file.GetFramePosition());
    for (; n > 0 && mem.GetSize() + size <= mem.GetMaxSize(); --n)
      if (FAILED(mem.WriteFrame(rec.data(), size))) return false;
    if (FAILED(mem.CopyTo(&file, 0, 0))) return false;
  }
  return true;
}

void BM_FileMoveRegion(benchmark::State& state) {
  vxtest::TempDir dir;
  const DWORD size = static_cast<DWORD>(state.range(0));
  IVxFileStream* s = nullptr;
  if (FAILED(CVxFileStream::CreateFileStream(&s, (dir.path() + "/m.bin").c_str(),
                                             GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL))) {
    state.SkipWithError("cannot create the file");
    return;
  }
  std::vector<BYTE> data(size + 200, 0x11);
  s->Write(data.data(), static_cast<ULONG>(data.size()), nullptr);
  bool up = true;
  for (auto _ : state) {
    // Overlapping by all but 100 bytes, as when a table moves behind a new frame.
    s->SetPosition(up ? 0 : 100);
    if (FAILED(s->MoveRegion(size, up ? 100 : 0))) state.SkipWithError("move failed");
    up = !up;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  s->Release();
}
BENCHMARK(BM_FileMoveRegion)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_FileCopyToMemory(benchmark::State& state) {
  vxtest::TempDir dir;
  const DWORD size = static_cast<DWORD>(state.range(0));
  IVxFileStream* s = nullptr;
  IVxMemoryStream* mem = nullptr;
  if (FAILED(CVxFileStream::CreateFileStream(&s, (dir.path() + "/c.bin").c_str(),
                                             GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL)) ||
      FAILED(CVxMemoryStream::CreateMemoryStream(size, &mem))) {
    state.SkipWithError("cannot create the streams");
    return;
  }
  std::vector<BYTE> data(size, 0x22);
  s->Write(data.data(), size, nullptr);
  for (auto _ : state) {
    s->SetPosition(0);
    mem->SetPosition(0);
    DWORD rd = 0, wr = 0;
    if (FAILED(s->CopyTo(mem, size, &rd, &wr)) || wr != size) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  mem->Release();
  s->Release();
}
BENCHMARK(BM_FileCopyToMemory)->Arg(64 << 10)->Arg(1 << 20);

// One frame appended to a file that already holds state.range(0) frames: the whole table
// moves through the stream's buffer.
void BM_AppendFrame(benchmark::State& state) {
  vxtest::TempDir dir;
  CCaptureFile file;
  const LONG held = static_cast<LONG>(state.range(0));
  if (FAILED(file.Create(64u << 20, dir.path().c_str(), "a.cap", false)) ||
      !Fill(file, held, 100)) {
    state.SkipWithError("cannot prepare the file");
    return;
  }
  const std::vector<BYTE> rec = Record(100);
  for (auto _ : state)
    if (FAILED(file.WriteFrame(rec.data(), 100))) state.SkipWithError("append failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendFrame)->Arg(1000)->Arg(10000)->Arg(100000);

// A 64 KiB batch of 100-byte frames, as the capture manager hands them over, appended to a
// file that holds state.range(0) frames.
void BM_AppendBatch(benchmark::State& state) {
  vxtest::TempDir dir;
  CCaptureFile file;
  const LONG held = static_cast<LONG>(state.range(0));
  if (FAILED(file.Create(256u << 20, dir.path().c_str(), "b.cap", false)) ||
      !Fill(file, held, 100)) {
    state.SkipWithError("cannot prepare the file");
    return;
  }
  const std::vector<BYTE> rec = Record(100);
  for (auto _ : state) {
    state.PauseTiming();
    CCaptureMem mem;
    mem.Create(64 << 10);
    mem.SetStartOffset(file.GetFramePosition());
    while (mem.GetSize() + 100 <= mem.GetMaxSize()) mem.WriteFrame(rec.data(), 100);
    state.ResumeTiming();
    if (FAILED(mem.CopyTo(&file, 0, 0))) state.SkipWithError("append failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (64 << 10));
}
BENCHMARK(BM_AppendBatch)->Arg(10000)->Arg(100000)->Iterations(300);

// The cost of one 100-byte frame record in a 15 MiB capture file (the console's default
// size), empty and full: 64 KiB batches as the capture manager hands them over, each ending
// with the file's header rewritten; a full file moves its whole table behind every batch.
void BM_AppendPerFrame15MiB(benchmark::State& state) {
  constexpr DWORD kFile = 15u << 20;
  constexpr DWORD kRec = 100;
  const bool bFull = state.range(0) != 0;
  constexpr LONG kBatches = 20;  // the iterations; a full file ends them just below 15 MiB
  const LONG perBatch = static_cast<LONG>((64u << 10) / kRec);
  const LONG held =
      bFull ? static_cast<LONG>((kFile - vxcap::kHeaderSize) / (kRec + 4)) - kBatches * perBatch
            : 0;
  vxtest::TempDir dir;
  CCaptureFile file;
  if (FAILED(file.Create(kFile, dir.path().c_str(), "c.cap", false)) || !Fill(file, held, kRec)) {
    state.SkipWithError("cannot prepare the file");
    return;
  }
  const std::vector<BYTE> rec = Record(kRec);
  double seconds = 0;
  ULONGLONG frames = 0;
  for (auto _ : state) {
    state.PauseTiming();
    CCaptureMem mem;
    mem.Create(64 << 10);
    mem.SetStartOffset(file.GetFramePosition());
    LONG n = 0;
    for (; mem.GetSize() + kRec <= mem.GetMaxSize(); ++n) mem.WriteFrame(rec.data(), kRec);
    state.ResumeTiming();
    const auto t0 = std::chrono::steady_clock::now();
    if (FAILED(mem.CopyTo(&file, 0, 0))) state.SkipWithError("append failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    frames += static_cast<ULONGLONG>(n);
  }
  const double ns = frames ? seconds * 1e9 / static_cast<double>(frames) : 0;
  state.counters["ns_per_frame"] = ns;
  std::printf(
      "ROW|append to a 15 MiB capture file, %s (%ld frames held), 100-byte records in "
      "64 KiB batches|%.0f ns per frame|bench_capture "
      "--benchmark_filter=AppendPerFrame15MiB/%d\n",
      bFull ? "full" : "empty", static_cast<long>(held), ns, bFull ? 1 : 0);
  std::fflush(stdout);
}
BENCHMARK(BM_AppendPerFrame15MiB)->Arg(0)->Arg(1)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
