// NMX commands, KRP payloads, a counting callback and capture file reading for the engine tests.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "capture/CaptureTestUtil.h"
#include "common/TestUtil.h"
#include "engine/NmxLogger.h"
#include "engine/VxNmxLoggerItf.h"
#include "nmx/KrpTypes.h"
#include "nmx/NmxCmdTestUtil.h"
#include "nmx/NmxPort.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"

namespace engtest {

using namespace nmxtest;

// Counts the component's reports.
class CountingCallback : public IVxNmxLoggerCallback {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT OnStart() override {
    ++starts;
    return S_OK;
  }
  HRESULT OnStop() override {
    ++stops;
    return S_OK;
  }
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
};

// Points the engine at a single named capture file of cbFile bytes in dir.
inline void CaptureInto(CNmxLogger& engine, const vxtest::TempDir& dir, DWORD cbFile,
                        bool bRing = false) {
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.saveFileName = "engine.cap"; });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.bAutoSave = true; });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.bRingBuffer = bRing; });
  engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.cbFile = cbFile; });
}

inline captest::Parsed ReadCapture(const vxtest::TempDir& dir) {
  return captest::Parse(vxtest::ReadFileBytes(dir / "engine.cap"));
}

// The NMX header stored in a frame record.
inline NmxHead StoredHead(const Bytes& record) {
  NmxHead h;
  memcpy(&h, record.data() + vxcap::kPacketOffset, sizeof h);
  return h;
}

}  // namespace engtest
