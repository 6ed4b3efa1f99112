#include <chrono>
#include <memory>

#include "capture/CaptureFormat.h"
#include "frames/CapFrameFormat.h"
#include "frames/CapRecord.h"
#include "frames/CapWriter.h"
#include "nmx-view/NmxView.h"
#include "viewclient/FrameFollower.h"
#include "viewclient/TriggerSink.h"
#include "viewclient/ViewCommands.h"
#include "viewclient/ViewProcess.h"

namespace {

// Prints each frame as nmx-cap dump does, or stores it into a capture file.
class CFollowOutput : public IFrameSink {
 public:
  CFollowOutput(CViewSession& s, const FollowOptions& f) : m_s(s), m_f(f) {}

  int Run();

  void Frame(const BYTE* record, DWORD size) override;
  void Lost(const std::string& problem) override;
  void Idle() override { m_s.Out().flush(); }
  bool Done() override;

 private:
  CViewSession& m_s;
  const FollowOptions& m_f;
  CCapWriter m_writer;
  uint64_t m_nFrames = 0;
  uint64_t m_nOffset = vxcap::kHeaderSize;
  uint64_t m_nLosses = 0;
  bool m_bWriteFailed = false;
  // A trigger fired: the follow goes on until the capture is stopped, whatever the count
  // and duration.
  bool m_bTriggered = false;
  std::chrono::steady_clock::time_point m_start;
};

bool CFollowOutput::Done() {
  if (ViewStopRequested() || m_bWriteFailed) return true;
  if (m_bTriggered) return false;
  if (m_nFrames >= m_f.nCount) return true;
  return m_f.nDurationMs != 0 &&
         std::chrono::steady_clock::now() - m_start >= std::chrono::milliseconds(m_f.nDurationMs);
}

void CFollowOutput::Frame(const BYTE* record, DWORD size) {
  if ((m_nFrames >= m_f.nCount && !m_bTriggered) || m_bWriteFailed) return;
  if (!m_f.writeFile.empty()) {
    if (!m_writer.BeginRecord(size) || !m_writer.Write(record, size)) m_bWriteFailed = true;
  } else {
    const CapFrame frame =
        RecordFrame(record, size, static_cast<DWORD>(m_nFrames), static_cast<DWORD>(m_nOffset));
    const KrpPayload krp = DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView());
    m_s.Out() << (m_s.Options().bJson ? FormatFrameJson(frame, krp, false)
                                      : FormatFrameLine(frame, krp))
              << "\n";
  }
  ++m_nFrames;
  m_nOffset += size;
}

void CFollowOutput::Lost(const std::string& problem) {
  ++m_nLosses;
  m_s.Err() << "nmx-view: follow: frames lost: " << problem << "\n";
}

int CFollowOutput::Run() {
  if (m_f.cbPacket < CFrameFollower::kMinPacket || m_f.cbPacket > CFrameFollower::kMaxPacket)
    return m_s.Fail("--packet must be 25 to 16777216 bytes", kViewExitUsage);
  if (!m_f.writeFile.empty()) {
    SYSTEMTIME now{};
    OsUserGetSystemTime(&now);
    if (!m_writer.Create(m_f.writeFile, now)) return m_s.Fail(m_writer.Error(), kViewExitFailed);
  }
  CFrameFollower follower(m_s, m_f);
  int status = kViewExitOk;
  if (!follower.Begin(&status)) {
    m_writer.Abandon();
    return status;
  }
  m_s.Err() << "following view " << follower.View() << " of " << m_s.Options().host << ":"
            << m_s.Options().port << " (" << (m_f.bNotify ? "notifications every " : "reads every ")
            << m_f.nCycleMs << " ms, packets of " << m_f.cbPacket << " bytes)\n";
  m_s.Err().flush();

  m_start = std::chrono::steady_clock::now();
  std::unique_ptr<CTriggerSink> trigger;
  if (!m_f.trigger.empty()) {
    TriggerSpec spec;
    std::string why;
    if (!ParseTriggerSpec(m_f.trigger, &spec, &why)) return m_s.Fail(why, kViewExitUsage);
    trigger = std::make_unique<CTriggerSink>(m_s, *this, spec, m_f.triggerStop, "nmx-view",
                                             [this] { m_bTriggered = true; });
  }
  status = trigger ? follower.Run(*trigger) : follower.Run(*this);
  m_s.Out().flush();
  follower.End();
  // Where the trigger frame lies is told before the closing count.
  int triggerStatus = kViewExitOk;
  if (trigger && status == kViewExitOk && !follower.ConnectionLost())
    triggerStatus = trigger->Report();
  if (!m_f.writeFile.empty()) {
    // A failed write keeps the frames that reached the file, as a valid capture.
    if (m_bWriteFailed || !m_writer.Finish()) {
      const std::string kept = m_writer.Abandon();
      const std::string error = m_writer.Error();
      return m_s.Fail((error.empty() ? "cannot write " + m_f.writeFile : error) +
                          (kept.empty() ? "" : "; " + kept),
                      kViewExitFailed);
    }
  }
  m_s.Err() << m_nFrames << " frames";
  if (!m_f.writeFile.empty()) m_s.Err() << " into " << m_f.writeFile;
  if (m_nLosses) m_s.Err() << ", " << m_nLosses << " gaps";
  m_s.Err() << "\n";
  if (follower.ConnectionLost())
    return m_s.Fail("the logger closed the connection", kViewExitConnection);
  return status != kViewExitOk ? status : triggerStatus;
}

}  // namespace

int ViewFollow(CViewSession& s, const FollowOptions& f) {
  CFollowOutput output(s, f);
  return output.Run();
}
