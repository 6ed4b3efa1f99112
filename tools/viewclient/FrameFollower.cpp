#include "viewclient/FrameFollower.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "capture/CaptureFormat.h"
#include "nmx/KrpTypes.h"
#include "os/ByteOrder.h"

namespace {

constexpr size_t kQueueBytes = 64u << 20;
constexpr DWORD kWaitStepMs = 100;
// Transmission mode of a cyclic notification.
constexpr DWORD kTransModeCyclic = 4;

}  // namespace

// Capture packets from the connection's receiver thread to the thread that follows. Bounded:
// when the follower cannot keep up the receiver waits, and through TCP so does the logger,
// instead of memory growing without end.
class CPacketQueue {
 public:
  void Push(const BYTE* p, size_t n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_space.wait(lock, [&] { return m_bClosed || m_nBytes + n <= kQueueBytes || m_q.empty(); });
    if (m_bClosed) return;
    m_q.emplace_back(p, p + n);
    m_nBytes += n;
    m_ready.notify_one();
  }
  // False when nothing arrived within the time.
  bool Pop(std::vector<BYTE>* packet, DWORD ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_ready.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !m_q.empty(); }))
      return false;
    *packet = std::move(m_q.front());
    m_q.pop_front();
    m_nBytes -= packet->size();
    m_space.notify_one();
    return true;
  }
  // Releases a waiting receiver; later packets are dropped.
  void Close() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bClosed = true;
    m_space.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_ready, m_space;
  std::deque<std::vector<BYTE>> m_q;
  size_t m_nBytes = 0;
  bool m_bClosed = false;
};

namespace {

// The samples of a notification stream (each a capture packet) into the queue. A stream
// that does not add up is dropped whole.
void QueueSamples(const BYTE* p, DWORD n, CPacketQueue& queue) {
  if (n < 4) return;
  const DWORD nStamps = vx::DecodeLE32(p);
  size_t at = 4;
  std::vector<std::pair<size_t, DWORD>> samples;
  for (DWORD s = 0; s < nStamps; ++s) {
    if (n - at < sizeof(KrpStampHeader)) return;
    const DWORD nSamples = vx::DecodeLE32(p + at + offsetof(KrpStampHeader, nSamples));
    at += sizeof(KrpStampHeader);
    for (DWORD k = 0; k < nSamples; ++k) {
      if (n - at < sizeof(KrpNotificationSample)) return;
      const DWORD cb = vx::DecodeLE32(p + at + offsetof(KrpNotificationSample, cbSampleSize));
      if (n - at - sizeof(KrpNotificationSample) < cb) return;
      samples.emplace_back(at + sizeof(KrpNotificationSample), cb);
      at += sizeof(KrpNotificationSample) + size_t{cb};
    }
  }
  for (const auto& s : samples) queue.Push(p + s.first, s.second);
}

}  // namespace

CapFrame RecordFrame(const BYTE* record, DWORD size, DWORD index, DWORD offset) {
  CapFrame frame;
  frame.nIndex = index;
  frame.nOffset = offset;
  frame.cbRecord = size;
  frame.nTimeStamp = vxcap::DecodeRecordHead(record).timeStamp;
  frame.head = DecodeNmxHead(record + vxcap::kPacketOffset);
  frame.pBytes = record;
  frame.cbBytes = size;
  return frame;
}

CFrameFollower::CFrameFollower(CViewSession& s, const FollowOptions& f)
    : m_s(s),
      m_cbPacket(f.cbPacket),
      m_nCycleMs(f.nCycleMs),
      m_bNotify(f.bNotify),
      m_queue(std::make_shared<CPacketQueue>()) {}

CFrameFollower::~CFrameFollower() {
  End();
}

bool CFrameFollower::Begin(int* status) {
  *status = kViewExitOk;
  if (m_cbPacket < kMinPacket || m_cbPacket > kMaxPacket) {
    *status = m_s.Fail("--packet must be 25 to 16777216 bytes", kViewExitUsage);
    return false;
  }
  CViewClient& client = m_s.Client();
  const KrpReply view =
      client.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 4, nullptr, 0);
  if (!m_s.Check(view, "open a view", status)) return false;
  if (view.data.size() != 4) {
    *status = m_s.Fail("open a view: the logger gave no handle", kViewExitFailed);
    return false;
  }
  m_hView = vx::DecodeLE32(view.data.data());
  m_bViewOpen = true;
  if (!m_bNotify) return true;

  std::shared_ptr<CPacketQueue> queue = m_queue;
  client.SetNotificationSink([queue](const BYTE* p, DWORD n) { QueueSamples(p, n, *queue); });
  KrpNotificationAttrib attrib{};
  attrib.cbLength = m_cbPacket;
  attrib.nTransMode = kTransModeCyclic;
  attrib.nCycleTime = m_nCycleMs * 10000;
  const KrpReply add = client.AddNotification(KRPCOMM_IG_VIEW, m_hView, attrib);
  if (!m_s.Check(add, "notification", status)) {
    End();
    return false;
  }
  m_bNotifying = true;
  if (add.data.size() == 4) m_hNote = vx::DecodeLE32(add.data.data());
  return true;
}

void CFrameFollower::Process(const std::vector<BYTE>& packet, IFrameSink& sink) {
  std::string problem;
  if (!m_assembler.Add(
          packet.data(), packet.size(), [&sink](const BYTE* r, DWORD n) { sink.Frame(r, n); },
          &problem))
    sink.Lost(problem);
  sink.PacketDone();
}

int CFrameFollower::Run(IFrameSink& sink) {
  CViewClient& client = m_s.Client();
  std::vector<BYTE> packet;
  while (!sink.Done()) {
    if (!client.Connected()) {
      m_bConnectionLost = true;
      break;
    }
    if (m_bNotify) {
      if (m_queue->Pop(&packet, kWaitStepMs))
        Process(packet, sink);
      else
        sink.Idle();
      continue;
    }
    const KrpReply r = client.Read(KRPCOMM_IG_VIEW, m_hView, m_cbPacket);
    int status = kViewExitOk;
    if (!m_s.Check(r, "read the view", &status)) return status;
    if (r.data.empty()) {
      sink.Idle();
      std::this_thread::sleep_for(std::chrono::milliseconds(m_nCycleMs));
      continue;
    }
    Process(r.data, sink);
  }
  return kViewExitOk;
}

void CFrameFollower::End() {
  // The receiver must not wait on a full queue while the requests below want their answers.
  m_queue->Close();
  CViewClient& client = m_s.Client();
  if (client.Connected()) {
    if (m_bNotifying) client.DelNotification(m_hNote);
    if (m_bViewOpen) {
      BYTE hView[4];
      vx::EncodeLE32(hView, m_hView);
      client.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_VIEW, hView, sizeof hView);
    }
  }
  if (m_bNotify) client.SetNotificationSink(nullptr);
  m_bNotifying = false;
  m_bViewOpen = false;
}
