#include "service/ViewerServiceTestUtil.h"

#include <stdlib.h>

#include <cstring>
#include <memory>

namespace vstest {

using viewertest::Frame;
using viewertest::PutBytes;
using viewertest::PutLE32;

namespace {

std::unique_ptr<vxtest::TempDir> g_base;

DWORD Take32(const BYTE* p) {
  return vx::DecodeLE32(p);
}

}  // namespace

// ---- Environment ------------------------------------------------------------------------------

void Environment::SetUp() {
  g_base = std::make_unique<vxtest::TempDir>();
  mkdir(Boot().c_str(), 0755);
  const std::string xml =
      "<?xml version=\"1.0\"?>\n<VxRegistry><Key Name=\"HKLM\"><Key Name=\"Software\">"
      "<Key Name=\"Lormec\"><Key Name=\"Varnix3\">"
      "<Value Name=\"CurrentVersion\" Type=\"SZ\">3.1</Value>"
      "<Key Name=\"3.1\"><Value Name=\"BootDir\" Type=\"SZ\">" +
      Boot() +
      "</Value></Key>"
      "<Key Name=\"System\"><Value Name=\"NmxNetId\" Type=\"BIN\">0501cca00101</Value></Key>"
      "</Key></Key></Key></Key></VxRegistry>\n";
  vxtest::WriteFileBytes(*g_base / "VxRegistry.xml", Bytes(xml.begin(), xml.end()));
  setenv("VX_BASE_DIR", g_base->path().c_str(), 1);
  VxRegTestRecreateStore();
}

void Environment::TearDown() {
  VxRegTestRecreateStore();
  unsetenv("VX_BASE_DIR");
  g_base.reset();
}

const std::string& Environment::Base() {
  return g_base->path();
}

// ---- Bytes ------------------------------------------------------------------------------------

Bytes LE32s(std::initializer_list<DWORD> values) {
  Bytes b;
  for (DWORD v : values) PutLE32(b, v);
  return b;
}

Bytes Text(const std::string& s, bool terminate) {
  Bytes b(s.begin(), s.end());
  if (terminate) b.push_back(0);
  return b;
}

DWORD Word(const Bytes& b, size_t at) {
  return b.size() >= at + 4 ? Take32(b.data() + at) : 0xFFFFFFFF;
}

Bytes TrafficCommand(DWORD n, DWORD size) {
  Bytes data = LE32s({0x4020, n, size});
  for (DWORD i = 0; i < size; ++i) data.push_back(static_cast<BYTE>(n + i));
  Bytes cmd(NMX_HEAD_SIZE + data.size());
  NmxNetId target, sender;
  target = "1.2.3.4.1.1";
  sender = "5.6.7.8.1.1";
  CNmxPort::NmxMakeHead(*reinterpret_cast<NmxHead*>(cmd.data()), KRP_CMD_WRITE,
                        static_cast<LONG>(data.size()), NmxAddr(target, 851),
                        NmxAddr(sender, 30000), static_cast<LONG>(n), 0, NMX_FLAG_KRP_COMMAND);
  std::copy(data.begin(), data.end(), cmd.begin() + NMX_HEAD_SIZE);
  return cmd;
}

Bytes PacketOf(const Bytes& record) {
  if (record.size() < vxcap::kPacketOffset) return {};
  return Bytes(record.begin() + vxcap::kPacketOffset, record.end());
}

// ---- Client -----------------------------------------------------------------------------------

Client::Client(WORD port) : m_bConnected(m_peer.Connect(port)) {}

Answer Client::Request(WORD cmdId, const Bytes& payload) {
  Answer a;
  const DWORD invokeId = ++m_nInvoke;
  if (!m_peer.Send(viewertest::KrpRequest(cmdId, invokeId, payload))) return a;
  Frame f;
  if (!ReadUntilAnswer(invokeId, &f)) return a;
  EXPECT_EQ(f.head.cmdId, cmdId);
  EXPECT_EQ(f.head.stateFlags, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE);
  const Bytes& d = f.data;
  if (d.size() < 4) return a;
  a.answered = true;
  a.result = Take32(d.data());
  if (cmdId == KRP_CMD_READ || cmdId == KRP_CMD_READWRITE) {
    const DWORD n = Word(d, 4);
    EXPECT_EQ(d.size(), 8 + size_t{n}) << "answer length";
    if (d.size() >= 8 + size_t{n}) a.data.assign(d.begin() + 8, d.begin() + 8 + n);
  } else if (d.size() > 4) {
    a.data.assign(d.begin() + 4, d.end());
  }
  return a;
}

Answer Client::Read(DWORD group, DWORD offset, DWORD length) {
  return Request(KRP_CMD_READ, LE32s({group, offset, length}));
}

Answer Client::Write(DWORD group, DWORD offset, const Bytes& data) {
  Bytes p = LE32s({group, offset, static_cast<DWORD>(data.size())});
  PutBytes(p, data);
  return Request(KRP_CMD_WRITE, p);
}

Answer Client::ReadWrite(DWORD group, DWORD offset, DWORD readLength, const Bytes& data) {
  Bytes p = LE32s({group, offset, readLength, static_cast<DWORD>(data.size())});
  PutBytes(p, data);
  return Request(KRP_CMD_READWRITE, p);
}

Answer Client::AddNotification(DWORD group, DWORD offset, DWORD cbLength, DWORD cycle100ns) {
  // The attribute block: length, transmission mode, maximum delay, cycle, two compare values.
  Bytes p = LE32s({group, offset, cbLength, 4, 0, cycle100ns, 0, 0, 0, 0});
  return Request(KRP_CMD_ADDDEVICENOTIFICATION, p);
}

Answer Client::DelNotification(DWORD handle) {
  return Request(KRP_CMD_DELDEVICENOTIFICATION, LE32s({handle}));
}

bool Client::ReadUntilAnswer(DWORD invokeId, Frame* answer) {
  for (;;) {
    Frame f;
    if (!m_peer.ReadFrame(&f)) return false;
    if (f.head.cmdId == KRP_CMD_DEVICENOTIFICATION && !(f.head.stateFlags & NMX_FLAG_RESPONSE)) {
      m_pending.push_back(std::move(f));
      continue;
    }
    if (f.head.hUser != invokeId) {
      ADD_FAILURE() << "answer to invoke id " << f.head.hUser << " while waiting for " << invokeId;
      return false;
    }
    *answer = std::move(f);
    return true;
  }
}

bool Client::DecodeNotification(const Frame& f, std::string* error) {
  const NmxAddr server(viewertest::kLocalNetId, KRPCOMM_KRP_PORT);
  if (f.head.target != server || f.head.hUser != KRPCOMM_NOTIFICATION_INVOKE_ID ||
      f.head.stateFlags != NMX_FLAG_KRP_COMMAND) {
    *error = "notification header";
    return false;
  }
  const Bytes& d = f.data;
  if (d.size() < 4 || Word(d) != d.size() - 4) {
    *error = "notification length";
    return false;
  }
  size_t at = 4;
  const DWORD nStamps = Word(d, at);
  at += 4;
  for (DWORD s = 0; s < nStamps; ++s) {
    if (d.size() < at + 12) {
      *error = "stamp cut";
      return false;
    }
    const LONGLONG time = static_cast<LONGLONG>(vx::DecodeLE64(d.data() + at));
    const DWORD nSamples = Word(d, at + 8);
    at += 12;
    for (DWORD k = 0; k < nSamples; ++k) {
      if (d.size() < at + 8 || d.size() - at - 8 < Word(d, at + 4)) {
        *error = "sample cut";
        return false;
      }
      Sample sample;
      sample.time = time;
      sample.handle = Word(d, at);
      const DWORD cb = Word(d, at + 4);
      sample.data.assign(d.begin() + static_cast<std::ptrdiff_t>(at + 8),
                         d.begin() + static_cast<std::ptrdiff_t>(at + 8 + cb));
      at += 8 + size_t{cb};
      m_samples.push_back(std::move(sample));
    }
  }
  if (at != d.size()) {
    *error = "bytes behind the last sample";
    return false;
  }
  return true;
}

bool Client::NextSample(Sample* s, std::string* error, std::chrono::milliseconds deadline) {
  while (m_samples.empty()) {
    Frame f;
    if (!m_pending.empty()) {
      f = std::move(m_pending.front());
      m_pending.pop_front();
    } else if (!m_peer.ReadFrame(&f, deadline)) {
      *error = "no notification";
      return false;
    }
    if (f.head.cmdId != KRP_CMD_DEVICENOTIFICATION) {
      *error = "unexpected command " + std::to_string(f.head.cmdId);
      return false;
    }
    if (!DecodeNotification(f, error)) return false;
  }
  *s = std::move(m_samples.front());
  m_samples.pop_front();
  return true;
}

// ---- Reassembler ------------------------------------------------------------------------------

bool Reassembler::Add(const Bytes& packet, std::string* error) {
  TCapturePacketHdr h{};
  if (!vxcap::DecodeCapturePacketHdr(packet.data(), packet.size(), &h) ||
      h.cbData != packet.size() - vxcap::kPacketHeaderSize || h.nErr != 0) {
    *error = "packet header";
    return false;
  }
  if (h.nPacket == 0) {
    if (!m_partial.empty()) {
      *error = "a new sequence began inside a record";
      return false;
    }
    m_nId = h.nId;
  } else if (!m_bInSequence || h.nId != m_nId || h.nPacket != m_nNext) {
    *error = "packet out of sequence";
    return false;
  }
  m_nNext = static_cast<WORD>(h.nPacket + 1);
  m_bInSequence = h.cbLeft != 0;
  m_partial.insert(m_partial.end(), packet.begin() + vxcap::kPacketHeaderSize, packet.end());
  while (m_partial.size() >= vxcap::kRecordHeadSize) {
    const size_t size =
        size_t{vx::DecodeLE32(m_partial.data() + vxcap::kRecFrameLength)} + vxcap::kRecordHeadSize;
    if (size < vxcap::kMinRecordSize) {
      *error = "record too short";
      return false;
    }
    if (m_partial.size() < size) break;
    if (vxcap::ValidateRecord(m_partial.data(), size) != vxcap::RecordStatus::kOk) {
      *error = "malformed record";
      return false;
    }
    m_records.emplace_back(m_partial.begin(),
                           m_partial.begin() + static_cast<std::ptrdiff_t>(size));
    m_partial.erase(m_partial.begin(), m_partial.begin() + static_cast<std::ptrdiff_t>(size));
  }
  if (!m_bInSequence && !m_partial.empty()) {
    *error = "the sequence ended inside a record";
    return false;
  }
  return true;
}

// ---- EngineFixture ----------------------------------------------------------------------------

void EngineFixture::SetUp() {
  m_engine = std::make_unique<CNmxLogger>(Callback());
  m_service = std::make_unique<CViewerService>(m_engine->ViewerFace());
  m_engine->ChangeCaptureSettings([&](CaptureSettings& cs) { cs.folder = m_dir.path().c_str(); });
  m_engine->ChangeCaptureSettings([&](CaptureSettings& cs) { cs.saveFileName = "engine.cap"; });
  m_engine->ChangeCaptureSettings([&](CaptureSettings& cs) { cs.bAutoSave = true; });
  m_engine->ChangeCaptureSettings([&](CaptureSettings& cs) { cs.bRingBuffer = false; });
  m_engine->ChangeCaptureSettings([&](CaptureSettings& cs) { cs.cbFile = 4u << 20; });
  m_service->SetConnectionPort(0);
  ASSERT_EQ(m_service->Connect(), S_OK);
  ASSERT_NE(Port(), 0);
}

void EngineFixture::TearDown() {
  m_service.reset();
  m_engine.reset();
}

void EngineFixture::Feed(DWORD n, DWORD size) {
  for (DWORD i = 0; i < n; ++i) {
    Bytes cmd = TrafficCommand(static_cast<DWORD>(m_fed.size() + 1), size);
    m_engine->OnNmxReceive(reinterpret_cast<const NmxCmd*>(cmd.data()));
    m_fed.push_back(std::move(cmd));
  }
}

bool EngineFixture::WaitFrames(LONG n) {
  return vxtest::WaitUntil([&] {
    LONG frames = 0;
    ULONG bytes = 0, overflows = 0;
    m_engine->GetCaptureInfo(frames, bytes, overflows);
    return frames >= n;
  });
}

}  // namespace vstest

namespace {
::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new vstest::Environment);
}  // namespace
