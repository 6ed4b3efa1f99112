// A viewer's byte stream into the viewer command set of a live engine: reassembled by a viewer
// connection, decoded and dispatched as KRP requests, and served by the command set against a
// real engine whose runtime folder is private. Only the socket is left out: the stream is
// handed to the connection as its receiver thread would hand it over, and the answers are
// taken where the connection writes them.
//
// While the engine captures, a few frames arrive after every request, so views and
// notifications have frames to deliver. A stream with an AddDeviceNotification request gets a
// command set whose server is listening (on an ephemeral port, no client ever connects), since
// notifications are sent through the server; the others do without, which is much faster.
//
// Besides crashes it checks what the dispatcher promises: every request that is long enough
// for its command gets exactly one answer, to its sender, with its command and invoke id, and
// a read answer never carries more bytes than were asked for.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "capture/CaptureFormat.h"
#include "engine/NmxLogger.h"
#include "fuzz/FuzzSupport.h"
#include "nmx/KrpTypes.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"
#include "service/KrpComm.h"
#include "service/ViewerConnection.h"
#include "service/ViewerService.h"

namespace {

// Sizes a viewer sets take effect at the next start; larger captures would make a run write
// and allocate up to gigabytes, which is not what this target looks for.
constexpr ULONG kMaxRunFileSize = 4 * 1024 * 1024;

[[noreturn]] void Broken(const char* what, size_t request) {
  fprintf(stderr, "viewer command set: request %zu: %s\n", request, what);
  abort();
}

std::vector<BYTE> Record(size_t cbData) {
  const std::vector<uint8_t> cmd =
      vxfuzz::NmxCommand(KRP_CMD_READ, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE, 30000, 0,
                         std::vector<uint8_t>(cbData, 0x5A));
  std::vector<BYTE> record(vxcap::RecordSize(static_cast<DWORD>(cmd.size())));
  vxcap::EncodeRecord(record.data(), record.size(), 133000000000000000LL, cmd.data(),
                      static_cast<DWORD>(cmd.size()));
  return record;
}

// What a request must be answered with: nothing (-1), or an answer of this command whose
// payload has at least this many bytes.
int ExpectedAnswer(const NmxHead& head, const uint8_t* p) {
  if ((head.stateFlags & NMX_FLAG_KRP_COMMAND) == 0 || (head.stateFlags & NMX_FLAG_RESPONSE) != 0)
    return -1;
  const uint64_t n = head.cbData;
  auto word = [p](size_t at) { return uint64_t{vx::DecodeLE32(p + at)}; };
  switch (head.cmdId) {
    case KRP_CMD_READDEVICEINFO:
      return 24;
    case KRP_CMD_READSTATE:
      return 8;
    case KRP_CMD_READ:
      return n >= 12 ? 8 : -1;
    case KRP_CMD_WRITE:
      return n >= 12 && n - 12 >= word(8) ? 4 : -1;
    case KRP_CMD_WRITECONTROL:
      return n >= 8 && n - 8 >= word(4) ? 4 : -1;
    case KRP_CMD_ADDDEVICENOTIFICATION:
      return n >= 24 ? 8 : -1;
    case KRP_CMD_DELDEVICENOTIFICATION:
      return n >= 4 ? 4 : -1;
    case KRP_CMD_READWRITE:
      return n >= 16 && n - 16 >= word(12) ? 8 : -1;
    default:  // DeviceNotification is one-way; other ids are not KRP commands
      return -1;
  }
}

// A viewer connection that keeps its answers instead of writing them, and feeds the capture
// after every request.
class CFuzzConnection : public CViewerConnection {
 public:
  CFuzzConnection(std::atomic<int>& nServing, IVxKrpSync* handler, CNmxLogger& engine)
      : CViewerConnection(nServing, KRPCOMM_KRP_PORT, handler, 0), m_engine(engine) {}

  DWORD Send(const NmxCmd* cmd) override {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(cmd);
    m_answers.emplace_back(p, p + NMX_HEAD_SIZE + size_t{cmd->head.cbData});
    return 0;
  }

  void OnNmxReceive(NmxCmd* cmd) override {
    if (!m_engine.IsStarted()) {
      if (m_engine.GetCaptureSettings().cbFile > kMaxRunFileSize)
        m_engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.cbFile = kMaxRunFileSize; });
    }
    const size_t before = m_answers.size();
    const int expected = ExpectedAnswer(cmd->head, cmd->data);
    const NmxHead request = cmd->head;
    std::vector<uint8_t> payload(cmd->data, cmd->data + request.cbData);
    CViewerConnection::OnNmxReceive(cmd);
    Check(request, payload, expected, before);
    ++m_nRequests;

    if (m_engine.IsStarted()) {
      static const std::vector<BYTE> small = Record(12);
      static const std::vector<BYTE> large = Record(3000);
      CCaptureMngt* capture = m_engine.GetCaptureMngt();
      capture->WriteFrame(reinterpret_cast<const FRAME*>(small.data()));
      capture->WriteFrame(reinterpret_cast<const FRAME*>(large.data()));
    }
  }

 private:
  void Check(const NmxHead& request, const std::vector<uint8_t>& payload, int expected,
             size_t before) {
    const size_t answers = m_answers.size() - before;
    if (expected < 0) {
      if (answers != 0) Broken("answered a request that must be dropped", m_nRequests);
      return;
    }
    if (answers != 1) Broken("not answered exactly once", m_nRequests);
    const std::vector<uint8_t>& a = m_answers.back();
    const NmxHead& head = *reinterpret_cast<const NmxHead*>(a.data());
    if (head.cmdId != request.cmdId || head.hUser != request.hUser ||
        head.target.port != request.sender.port ||
        head.stateFlags != (NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE))
      Broken("answer does not match its request", m_nRequests);
    if (head.cbData < static_cast<DWORD>(expected)) Broken("answer too short", m_nRequests);
    if (request.cmdId == KRP_CMD_READ || request.cmdId == KRP_CMD_READWRITE) {
      const DWORD asked = vx::DecodeLE32(payload.data() + 8);
      const DWORD length = vx::DecodeLE32(a.data() + NMX_HEAD_SIZE + 4);
      if (length > asked || head.cbData != 8 + uint64_t{length})
        Broken("read answer longer than asked, or not its own length", m_nRequests);
    }
  }

  CNmxLogger& m_engine;
  std::vector<std::vector<uint8_t>> m_answers;
  size_t m_nRequests = 0;
};

bool HasNotificationRequest(const vxfuzz::NmxTcpStream& s) {
  for (const vxfuzz::NmxTcpStream::Frame& f : s.frames) {
    const NmxHead& head = *reinterpret_cast<const NmxHead*>(s.data + f.offset);
    if (head.cmdId == KRP_CMD_ADDDEVICENOTIFICATION) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vxfuzz::BaseDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vxfuzz::NmxTcpStream stream = vxfuzz::ReadNmxTcpStream(data, size);
  {
    CNmxLogger engine(nullptr);
    CViewerService service(engine.ViewerFace());
    CKrpComm comm(&service, false, 0);
    if (HasNotificationRequest(stream)) comm.Connect();
    std::atomic<int> nServing{0};
    comm.OnNewConnection();
    {
      CFuzzConnection connection(nServing, &comm, engine);
      // In the pieces a receiver reads at most.
      for (size_t pos = 0; pos < size && connection.IsCreated(); pos += 65535)
        connection.OnReceive(0, data + pos, static_cast<DWORD>(std::min<size_t>(65535, size - pos)),
                             0);
    }
    // The viewer is gone: its notifications and views end, as the server reports it.
    comm.OnDisconnected();
    engine.Stop();
  }
  vxfuzz::EmptyFolder(vxfuzz::BootDir());
  return 0;
}
