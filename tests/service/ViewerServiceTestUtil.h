// The viewer service against a running engine: a private registry and boot folder, an engine
// whose viewer service listens on an ephemeral loopback port, and a small KRP client that
// encodes requests and decodes answers and notifications byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "capture/CaptureFormat.h"
#include "capture/CapturePacket.h"
#include "common/TestUtil.h"
#include "engine/NmxLogger.h"
#include "nmx/KrpTypes.h"
#include "nmx/NmxPort.h"
#include "os/ByteOrder.h"
#include "registry/VxRegTesting.h"
#include "service/ViewerService.h"
#include "viewer/KrpCommFormat.h"
#include "viewer/ViewerTestUtil.h"

namespace vstest {

using viewertest::Bytes;

// VX_BASE_DIR for the whole test program: a registry naming the boot folder Base()/Boot/
// and the local NetId 5.1.204.160.1.1.
class Environment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
  static const std::string& Base();
  // The boot project folder, with a trailing slash.
  static std::string Boot() { return Base() + "/Boot/"; }
};

Bytes LE32s(std::initializer_list<DWORD> values);
Bytes Text(const std::string& s, bool terminate = true);
DWORD Word(const Bytes& b, size_t at = 0);

// A KRP answer: the KRP result and the data of Read, ReadWrite (and the handle of
// AddDeviceNotification). answered is false when none came.
struct Answer {
  bool answered = false;
  DWORD result = 0xFFFFFFFF;
  Bytes data;
};

// One sample of a received DeviceNotification.
struct Sample {
  LONGLONG time = 0;
  DWORD handle = 0;
  Bytes data;  // the capture packet: 24-byte header and records
};

// A viewer: one loopback connection; requests are answered in order, DeviceNotifications
// that arrive in between are queued. Not thread-safe.
class Client {
 public:
  explicit Client(WORD port);
  bool Connected() const { return m_bConnected; }

  Answer Read(DWORD group, DWORD offset, DWORD length);
  Answer Write(DWORD group, DWORD offset, const Bytes& data);
  Answer ReadWrite(DWORD group, DWORD offset, DWORD readLength, const Bytes& data);
  Answer AddNotification(DWORD group, DWORD offset, DWORD cbLength, DWORD cycle100ns);
  Answer DelNotification(DWORD handle);
  // A request of any KRP command with a raw payload.
  Answer Request(WORD cmdId, const Bytes& payload);

  // The next notification sample; false when none arrives within the deadline or the stream
  // is malformed (then *error says why).
  bool NextSample(Sample* s, std::string* error,
                  std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // True when the logger closes the connection within the deadline.
  bool WaitClosed() { return m_peer.WaitClosed(); }
  void Close() { m_peer.Close(); }

 private:
  bool ReadUntilAnswer(DWORD invokeId, viewertest::Frame* answer);
  bool DecodeNotification(const viewertest::Frame& f, std::string* error);

  viewertest::RawPeer m_peer;
  bool m_bConnected = false;
  DWORD m_nInvoke = 100;
  std::deque<viewertest::Frame> m_pending;
  std::deque<Sample> m_samples;
};

// Frames as a viewer reassembles them from capture packets.
class Reassembler {
 public:
  // False (and *error) when the packet does not continue the sequence or its records are
  // malformed.
  bool Add(const Bytes& packet, std::string* error);
  const std::vector<Bytes>& Records() const { return m_records; }

 private:
  std::vector<Bytes> m_records;
  Bytes m_partial;
  bool m_bInSequence = false;
  WORD m_nId = 0;
  WORD m_nNext = 0;
};

// A KRP write request of `size` data bytes with invoke id n, as the router would hand it on.
Bytes TrafficCommand(DWORD n, DWORD size);
// The NMX packet stored in a frame record.
Bytes PacketOf(const Bytes& record);

// An engine with a single capture file "engine.cap" of 4 MiB in a folder of its own and its
// viewer service on an ephemeral port.
class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  // The engine's callback; none by default.
  virtual IVxNmxLoggerCallback* Callback() { return nullptr; }
  void TearDown() override;

  // Queues n commands of `size` data bytes, invoke ids continuing from the last.
  void Feed(DWORD n, DWORD size = 64);
  // Waits until the capture holds n frames.
  bool WaitFrames(LONG n);
  WORD Port() const { return m_service->GetViewerListenPort(); }

  vxtest::TempDir m_dir;
  std::unique_ptr<CNmxLogger> m_engine;
  std::unique_ptr<CViewerService> m_service;  // goes before the engine
  std::vector<Bytes> m_fed;                   // the NMX packets fed, in order
};

}  // namespace vstest
