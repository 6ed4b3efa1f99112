#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/CaptureFormat.h"
#include "capture/CapturePacket.h"
#include "nmx-cap/CapFrameFormat.h"
#include "nmx-cap/CapRecord.h"
#include "nmx-cap/CapWriter.h"
#include "nmx-view/PacketAssembler.h"
#include "nmx-view/ViewCommands.h"
#include "os/ByteOrder.h"

namespace {

constexpr DWORD kMinPacket = 25;
constexpr DWORD kMaxPacket = 16u << 20;
constexpr size_t kQueueBytes = 64u << 20;
constexpr DWORD kWaitStepMs = 100;

// Capture packets from the connection's receiver thread to the thread that prints them.
// Bounded: when the output cannot keep up the receiver waits, and through TCP so does the
// logger, instead of memory growing without end.
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

// The samples of a notification stream (each a capture packet) into the queue. A stream
// that does not add up is dropped whole.
void QueueSamples(const BYTE* p, DWORD n, CPacketQueue& queue) {
  if (n < 4) return;
  const DWORD nStamps = vx::DecodeLE32(p);
  size_t at = 4;
  std::vector<std::pair<size_t, DWORD>> samples;
  for (DWORD s = 0; s < nStamps; ++s) {
    if (n - at < 12) return;
    const DWORD nSamples = vx::DecodeLE32(p + at + 8);
    at += 12;
    for (DWORD k = 0; k < nSamples; ++k) {
      if (n - at < 8) return;
      const DWORD cb = vx::DecodeLE32(p + at + 4);
      if (n - at - 8 < cb) return;
      samples.emplace_back(at + 8, cb);
      at += 8 + size_t{cb};
    }
  }
  for (const auto& s : samples) queue.Push(p + s.first, s.second);
}

class CFollower {
 public:
  CFollower(CViewSession& s, const FollowOptions& f) : m_s(s), m_f(f) {}

  int Run();

 private:
  void Process(const std::vector<BYTE>& packet);
  void Emit(const BYTE* record, DWORD size);
  bool Done() const;

  CViewSession& m_s;
  const FollowOptions& m_f;
  CPacketAssembler m_assembler;
  CCapWriter m_writer;
  uint64_t m_nFrames = 0;
  uint64_t m_nOffset = vxcap::kHeaderSize;
  uint64_t m_nLosses = 0;
  bool m_bWriteFailed = false;
  std::chrono::steady_clock::time_point m_start;
};

bool CFollower::Done() const {
  if (ViewStopRequested() || m_nFrames >= m_f.nCount || m_bWriteFailed) return true;
  return m_f.nDurationMs != 0 &&
         std::chrono::steady_clock::now() - m_start >= std::chrono::milliseconds(m_f.nDurationMs);
}

void CFollower::Emit(const BYTE* record, DWORD size) {
  if (m_nFrames >= m_f.nCount || m_bWriteFailed) return;
  if (!m_f.writeFile.empty()) {
    if (!m_writer.BeginRecord(size) || !m_writer.Write(record, size)) m_bWriteFailed = true;
  } else {
    CapFrame frame;
    frame.nIndex = static_cast<DWORD>(m_nFrames);
    frame.nOffset = static_cast<DWORD>(m_nOffset);
    frame.cbRecord = size;
    frame.nTimeStamp = vxcap::DecodeRecordHead(record).timeStamp;
    frame.head = DecodeNmxHead(record + vxcap::kPacketOffset);
    frame.pBytes = record;
    frame.cbBytes = size;
    const KrpPayload krp = DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView());
    m_s.Out() << (m_s.Options().bJson ? FormatFrameJson(frame, krp, false)
                                      : FormatFrameLine(frame, krp))
              << "\n";
  }
  ++m_nFrames;
  m_nOffset += size;
}

void CFollower::Process(const std::vector<BYTE>& packet) {
  std::string problem;
  if (!m_assembler.Add(
          packet.data(), packet.size(), [this](const BYTE* r, DWORD n) { Emit(r, n); }, &problem)) {
    ++m_nLosses;
    m_s.Err() << "nmx-view: follow: frames lost: " << problem << "\n";
  }
}

int CFollower::Run() {
  if (m_f.cbPacket < kMinPacket || m_f.cbPacket > kMaxPacket)
    return m_s.Fail("--packet must be 25 to 16777216 bytes", kViewExitUsage);
  if (!m_f.writeFile.empty()) {
    SYSTEMTIME now{};
    OsUserGetSystemTime(&now);
    if (!m_writer.Create(m_f.writeFile, now)) return m_s.Fail(m_writer.Error(), kViewExitFailed);
  }
  int status = kViewExitOk;
  CViewClient& client = m_s.Client();
  const KrpReply view = client.ReadWrite(kIgCapture, 7, 4, nullptr, 0);
  if (m_s.Check(view, "open a view", &status) && view.data.size() != 4)
    status = m_s.Fail("open a view: the logger gave no handle", kViewExitFailed);
  if (status != kViewExitOk) {
    m_writer.Discard();
    return status;
  }
  const DWORD hView = vx::DecodeLE32(view.data.data());
  BYTE hViewBytes[4];
  vx::EncodeLE32(hViewBytes, hView);

  // Shared with the sink, which may still be running on the receiver thread after this
  // function has returned.
  auto queue = std::make_shared<CPacketQueue>();
  bool bNotifying = false;
  DWORD hNote = 0;
  if (m_f.bNotify) {
    client.SetNotificationSink([queue](const BYTE* p, DWORD n) { QueueSamples(p, n, *queue); });
    KrpNotificationAttrib attrib{};
    attrib.cbLength = m_f.cbPacket;
    attrib.nTransMode = 4;
    attrib.nCycleTime = m_f.nCycleMs * 10000;
    const KrpReply add = client.AddNotification(kIgView, hView, attrib);
    if (m_s.Check(add, "notification", &status)) {
      bNotifying = true;
      if (add.data.size() == 4) hNote = vx::DecodeLE32(add.data.data());
    }
  }
  if (status == kViewExitOk) {
    m_s.Err() << "following view " << hView << " of " << m_s.Options().host << ":"
              << m_s.Options().port << " ("
              << (m_f.bNotify ? "notifications every " : "reads every ") << m_f.nCycleMs
              << " ms, packets of " << m_f.cbPacket << " bytes)\n";
    m_s.Err().flush();
  }

  m_start = std::chrono::steady_clock::now();
  std::vector<BYTE> packet;
  bool lost = false;
  while (status == kViewExitOk && !Done()) {
    if (!client.Connected()) {
      lost = true;
      break;
    }
    if (m_f.bNotify) {
      if (!queue->Pop(&packet, kWaitStepMs)) {
        m_s.Out().flush();
        continue;
      }
      Process(packet);
      continue;
    }
    const KrpReply r = client.Read(kIgView, hView, m_f.cbPacket);
    if (!m_s.Check(r, "read the view", &status)) break;
    if (r.data.empty()) {
      m_s.Out().flush();
      std::this_thread::sleep_for(std::chrono::milliseconds(m_f.nCycleMs));
      continue;
    }
    Process(r.data);
  }
  m_s.Out().flush();
  // The receiver must not wait on a full queue while the requests below want their answers.
  queue->Close();
  if (client.Connected()) {
    if (bNotifying) client.DelNotification(hNote);
    client.Write(kIgCapture, 8, hViewBytes, 4);
  }
  client.SetNotificationSink(nullptr);
  if (!m_f.writeFile.empty()) {
    if (m_bWriteFailed || !m_writer.Finish()) {
      const std::string error = m_writer.Error();
      m_writer.Discard();
      return m_s.Fail(error.empty() ? "cannot write " + m_f.writeFile : error, kViewExitFailed);
    }
  }
  m_s.Err() << m_nFrames << " frames";
  if (!m_f.writeFile.empty()) m_s.Err() << " into " << m_f.writeFile;
  if (m_nLosses) m_s.Err() << ", " << m_nLosses << " gaps";
  m_s.Err() << "\n";
  if (lost) return m_s.Fail("the logger closed the connection", kViewExitConnection);
  return status;
}

}  // namespace

int ViewFollow(CViewSession& s, const FollowOptions& f) {
  CFollower follower(s, f);
  return follower.Run();
}
