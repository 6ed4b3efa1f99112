// The logger component: factory, reference count, interface queries, results before and
// after Init, and the operations passed to the engine.
#include <gtest/gtest.h>

#include <cerrno>

#include "engine/EngineTestUtil.h"
#include "engine/NmxR3PortLogger.h"
#include "service/VxNmxLoggerObj.h"

using namespace engtest;

namespace {

// Holds the component's one reference.
struct Component {
  Component() { EXPECT_EQ(DllGetVxNmxLogger(&p), S_OK); }
  ~Component() {
    if (p) p->Release();
  }
  CNmxLogger* Engine() const { return static_cast<CVxNmxLogger*>(p)->GetEngine(); }
  IVxNmxLogger2* p = nullptr;
};

TEST(VxNmxLoggerTest, FactoryAndReferenceCount) {
  EXPECT_EQ(DllGetVxNmxLogger(nullptr), E_POINTER);
  IVxNmxLogger2* p = nullptr;
  ASSERT_EQ(DllGetVxNmxLogger(&p), S_OK);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->AddRef(), 2u);
  EXPECT_EQ(p->Release(), 1u);
  EXPECT_EQ(p->Release(), 0u);
}

TEST(VxNmxLoggerTest, QueryInterface) {
  Component c;
  void* out = &c;
  EXPECT_EQ(c.p->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(c.p));
  for (const IID& iid : {IID_IVxNmxLogger, IID_IVxNmxLogger2}) {
    out = nullptr;
    EXPECT_EQ(c.p->QueryInterface(iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(c.p));
  }
  ISupportErrorInfo* info = nullptr;
  ASSERT_EQ(c.p->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  ASSERT_NE(info, nullptr);
  EXPECT_NE(static_cast<void*>(info), static_cast<void*>(c.p));
  // Four references taken above, plus the holder's.
  EXPECT_EQ(c.p->AddRef(), 6u);
  for (int i = 0; i < 4; ++i) c.p->Release();
  EXPECT_EQ(info->Release(), 1u);

  for (const IID& iid : {IID_IVxNmxLoggerCallback, IID_IStream, CLSID_VxNmxLogger}) {
    out = &c;
    EXPECT_EQ(c.p->QueryInterface(iid, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(c.p->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST(VxNmxLoggerTest, InterfaceSupportsErrorInfo) {
  Component c;
  ISupportErrorInfo* info = nullptr;
  ASSERT_EQ(c.p->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IVxNmxLogger), S_OK);
  EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IVxNmxLogger2), S_FALSE);
  EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
  info->Release();
}

TEST(VxNmxLoggerTest, EveryOperationFailsBeforeInit) {
  Component c;
  IVxNmxLogger2* p = c.p;
  const Bytes cmd = MakeCmd(CmdFields{});
  void* pc = const_cast<BYTE*>(cmd.data());
  VARIANT_BOOL vb = 5;
  LONG l = 5;
  ULONG u = 5;
  ULONGLONG ull = 5;
  const HRESULT results[] = {
      p->Start(),
      p->Stop(),
      p->NmxReceive(pc),
      p->FilterNmxCmd(pc, &vb),
      p->GetCaptureInfo(&l, &u, &u),
      p->LoadXmlSettings("<VxNmxLogger><CaptureInfo/></VxNmxLogger>"),
      p->get_EnableViewerConnection(&vb),
      p->put_EnableViewerConnection(VARIANT_TRUE),
      p->get_IsStarted(&vb),
      p->get_IsConnectedToViewer(&vb),
      p->get_ConnectionPort(&l),
      p->put_ConnectionPort(1),
      p->LoadXmlSettingsEx("x", VARIANT_TRUE),
      p->GetDroppedFrames(&ull),
      p->TakeWriteError(&l),
      p->GetRingDroppedFrames(&ull),
      p->GetStartError(&l),
  };
  for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], E_FAIL) << i;
  EXPECT_EQ(vb, 5);
  EXPECT_EQ(l, 5);
  EXPECT_EQ(u, 5u);
  EXPECT_EQ(ull, 5u);
}

TEST(VxNmxLoggerTest, InitOnce) {
  Component c;
  ASSERT_EQ(c.p->Init(FALSE, nullptr), S_OK);
  CNmxLogger* first = c.Engine();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->GetLocalNetId(), nullptr);
  EXPECT_EQ(c.p->Init(TRUE, nullptr), E_FAIL);
  EXPECT_EQ(c.Engine(), first);

  Component own;
  ASSERT_EQ(own.p->Init(TRUE, nullptr), S_OK);
  EXPECT_NE(dynamic_cast<CNmxR3PortLogger*>(own.Engine()), nullptr);
  EXPECT_NE(own.Engine()->GetLocalNetId(), nullptr);
}

TEST(VxNmxLoggerTest, ArgumentsAndResults) {
  Component c;
  ASSERT_EQ(c.p->Init(FALSE, nullptr), S_OK);
  IVxNmxLogger2* p = c.p;

  EXPECT_EQ(p->GetCaptureInfo(nullptr, nullptr, nullptr), S_OK);
  LONG frames = -1;
  ULONG bytes = 7, overflows = 7;
  EXPECT_EQ(p->GetCaptureInfo(&frames, &bytes, &overflows), S_OK);
  EXPECT_EQ(frames, 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(overflows, 0u);

  const Bytes cmd = MakeCmd(CmdFields{});
  void* pc = const_cast<BYTE*>(cmd.data());
  EXPECT_EQ(p->FilterNmxCmd(pc, nullptr), E_POINTER);
  EXPECT_EQ(p->get_EnableViewerConnection(nullptr), E_POINTER);
  EXPECT_EQ(p->get_IsStarted(nullptr), E_POINTER);
  EXPECT_EQ(p->get_IsConnectedToViewer(nullptr), E_POINTER);
  EXPECT_EQ(p->get_ConnectionPort(nullptr), E_POINTER);
  EXPECT_EQ(p->GetDroppedFrames(nullptr), E_POINTER);
  EXPECT_EQ(p->TakeWriteError(nullptr), E_POINTER);
  LONG hrWrite = 5;
  EXPECT_EQ(p->TakeWriteError(&hrWrite), S_FALSE);
  EXPECT_EQ(hrWrite, 0);
  EXPECT_EQ(p->GetRingDroppedFrames(nullptr), E_POINTER);
  EXPECT_EQ(p->GetStartError(nullptr), E_POINTER);
  ULONGLONG givenUp = 5;
  EXPECT_EQ(p->GetRingDroppedFrames(&givenUp), S_OK);
  EXPECT_EQ(givenUp, 0u);
  LONG hrStart = 5;
  EXPECT_EQ(p->GetStartError(&hrStart), S_FALSE);
  EXPECT_EQ(hrStart, 0);

  VARIANT_BOOL vb = 5;
  EXPECT_EQ(p->FilterNmxCmd(pc, &vb), S_OK);
  EXPECT_EQ(vb, VARIANT_FALSE);
  c.Engine()->SetFilterFlags(NMX_FILTER_ERROR);
  c.Engine()->EnableFilter(TRUE);
  EXPECT_EQ(p->FilterNmxCmd(pc, &vb), S_OK);
  EXPECT_EQ(vb, VARIANT_TRUE);

  LONG port = 0;
  EXPECT_EQ(p->get_ConnectionPort(&port), S_OK);
  EXPECT_EQ(port, 48914);
  EXPECT_EQ(p->put_ConnectionPort(1234), S_OK);
  EXPECT_EQ(p->get_ConnectionPort(&port), S_OK);
  EXPECT_EQ(port, 1234);

  // Only -1 enables the viewer service, so 1 disables it (on an ephemeral port here).
  EXPECT_EQ(p->put_ConnectionPort(0), S_OK);
  EXPECT_EQ(p->put_EnableViewerConnection(VARIANT_TRUE), S_OK);
  EXPECT_EQ(p->get_EnableViewerConnection(&vb), S_OK);
  EXPECT_EQ(vb, VARIANT_TRUE);
  EXPECT_EQ(p->put_EnableViewerConnection(1), S_OK);
  EXPECT_EQ(p->get_EnableViewerConnection(&vb), S_OK);
  EXPECT_EQ(vb, VARIANT_FALSE);
  EXPECT_EQ(p->get_IsConnectedToViewer(&vb), S_OK);
  EXPECT_EQ(vb, VARIANT_FALSE);

  EXPECT_EQ(p->LoadXmlSettings("<VxNmxLogger><CaptureInfo/></VxNmxLogger>"), S_OK);
  EXPECT_EQ(p->LoadXmlSettings("<VxNmxLogger><CaptureInfo/>"), E_FAIL);
  EXPECT_EQ(p->LoadXmlSettings(nullptr), E_FAIL);
  EXPECT_EQ(p->LoadXmlSettingsEx("<VxNmxLogger><CaptureInfo/></VxNmxLogger>", 1), S_OK);
  EXPECT_EQ(p->LoadXmlSettingsEx("/nonexistent/settings.xml", VARIANT_TRUE), E_FAIL);
}

// A start that fails keeps the system's reason for its host, and the next start that
// succeeds forgets it; a ring reports the frames it gave up to make room.
TEST(VxNmxLoggerTest, WhyAStartFailedAndWhatTheRingGaveUp) {
  vxtest::TempDir dir;
  Component c;
  ASSERT_EQ(c.p->Init(FALSE, nullptr), S_OK);
  CaptureInto(*c.Engine(), dir, 1048576, true);
  c.Engine()->ChangeCaptureSettings(
      [&](CaptureSettings& cs) { cs.folder = (dir / "missing").c_str(); });
  EXPECT_EQ(c.p->Start(), E_FAIL);
  LONG hr = 0;
  EXPECT_EQ(c.p->GetStartError(&hr), S_OK);
  EXPECT_EQ(static_cast<DWORD>(hr), 0x80070000u | ENOENT);

  c.Engine()->ChangeCaptureSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
  ASSERT_EQ(c.p->Start(), S_OK);
  EXPECT_EQ(c.p->GetStartError(&hr), S_FALSE);
  EXPECT_EQ(hr, 0);
  // About 7 MB of records through a ring of 1 MiB.
  CmdFields fields;
  fields.data = Bytes(1000, 0x5A);
  Bytes cmd = MakeCmd(fields);
  for (int i = 0; i < 7000; ++i) c.p->NmxReceive(cmd.data());
  ASSERT_EQ(c.p->Stop(), S_OK);
  LONG frames = 0;
  c.p->GetCaptureInfo(&frames, nullptr, nullptr);
  ULONGLONG givenUp = 0, dropped = 0;
  EXPECT_EQ(c.p->GetRingDroppedFrames(&givenUp), S_OK);
  EXPECT_EQ(c.p->GetDroppedFrames(&dropped), S_OK);
  EXPECT_GT(givenUp, 0u);
  EXPECT_EQ(static_cast<ULONGLONG>(frames) + givenUp + dropped, 7000u);
}

TEST(VxNmxLoggerTest, CaptureThroughTheComponent) {
  vxtest::TempDir dir;
  CountingCallback cb;
  {
    Component c;
    ASSERT_EQ(c.p->Init(FALSE, &cb), S_OK);
    CaptureInto(*c.Engine(), dir, 2 * 1048576);
    const std::string path = dir / "settings.xml";
    const std::string doc =
        "<VxNmxLogger><CaptureInfo><FileSize>2</FileSize>"
        "</CaptureInfo></VxNmxLogger>";
    vxtest::WriteFileBytes(path, Bytes(doc.begin(), doc.end()));
    ASSERT_EQ(c.p->LoadXmlSettingsEx(path.c_str(), VARIANT_TRUE), S_OK);

    EXPECT_EQ(c.p->Stop(), E_FAIL);
    ASSERT_EQ(c.p->Start(), S_OK);
    EXPECT_EQ(c.p->Start(), E_FAIL);
    VARIANT_BOOL started = 0;
    EXPECT_EQ(c.p->get_IsStarted(&started), S_OK);
    EXPECT_EQ(started, VARIANT_TRUE);
    EXPECT_EQ(c.p->LoadXmlSettings("<VxNmxLogger><CaptureInfo/></VxNmxLogger>"), E_FAIL);

    Bytes cmd = MakeCmd(CmdFields{});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(c.p->NmxReceive(cmd.data()), S_OK);
    LONG frames = 0;
    ASSERT_TRUE(vxtest::WaitUntil([&] {
      c.p->GetCaptureInfo(&frames, nullptr, nullptr);
      return frames == 3;
    }));
    ULONGLONG dropped = 9;
    EXPECT_EQ(c.p->GetDroppedFrames(&dropped), S_OK);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(cb.starts, 1);
    // The last Release stops the running capture.
  }
  EXPECT_EQ(cb.stops, 1);
  const captest::Parsed p = ReadCapture(dir);
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_EQ(p.frames.size(), 3u);
}

}  // namespace
