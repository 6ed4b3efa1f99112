#include "nmx-extcap/ExtcapCapture.h"

#include <memory>

#include "capture/CaptureFormat.h"
#include "frames/CapTime.h"
#include "frames/PcapngWriter.h"
#include "nmx-view/FrameFollower.h"
#include "nmx-view/TriggerSink.h"
#include "nmx-view/ViewSession.h"
#include "nmx/KrpTypes.h"

namespace {

constexpr DWORD kPacketBytes = 65536;
constexpr char kProgram[] = "nmx-extcap";

// Each frame's pseudo-Ethernet frame into the pcapng stream, stamped with its recorded time.
class CPcapngOutput : public IFrameSink {
 public:
  CPcapngOutput(CViewSession& s, CExtcapFilter& filter) : m_s(s), m_filter(filter) {}

  bool Open(const std::string& fifo);
  // Closes the stream; false (and *status set) after reporting a failure on the way.
  bool Close(int* status);

  void Frame(const BYTE* record, DWORD size) override;
  void Lost(const std::string& problem) override;
  void PacketDone() override;
  void Idle() override;
  bool Done() override { return ViewStopRequested() || m_bReaderGone || !m_strErr.empty(); }

 private:
  void CheckWrite(bool ok);

  CViewSession& m_s;
  CExtcapFilter& m_filter;
  CPcapngWriter m_writer;
  uint64_t m_nFrames = 0;
  bool m_bOpen = false;
  bool m_bReaderGone = false;
  std::string m_strErr;  // the first failure
};

bool CPcapngOutput::Open(const std::string& fifo) {
  if (!m_writer.CreateStream(fifo, kProgram, [] { return !ViewStopRequested(); })) {
    if (!ViewStopRequested()) m_strErr = m_writer.Error();
    return false;
  }
  m_bOpen = true;
  CheckWrite(m_writer.Flush());
  return !Done();
}

// A write that gave up waiting for room because a stop was requested failed for no fault.
void CPcapngOutput::CheckWrite(bool ok) {
  if (ok) return;
  if (m_writer.ReaderGone())
    m_bReaderGone = true;
  else if (m_strErr.empty() && !ViewStopRequested())
    m_strErr = m_writer.Error();
}

void CPcapngOutput::Frame(const BYTE* record, DWORD size) {
  if (Done() || !m_filter.Keeps(record, size)) return;
  const LONGLONG fileTime = vxcap::DecodeRecordHead(record).timeStamp;
  uint64_t ns = 0;
  if (!FileTimeToUnixNanoseconds(fileTime, &ns)) {
    m_strErr = "frame " + std::to_string(m_nFrames) + ": time stamp " +
               FormatFileTime(fileTime, 7, false) +
               " cannot be stored in pcapng (before 1970 or after 2554)";
    return;
  }
  // The packet is the record's MacFrame: the pseudo-Ethernet header and the NMX packet.
  const DWORD cbPacket = size - vxcap::kRecordHeadSize;
  CheckWrite(m_writer.BeginPacket(ns, cbPacket) &&
             m_writer.Write(record + vxcap::kRecordHeadSize, cbPacket) && m_writer.EndPacket());
  ++m_nFrames;
}

void CPcapngOutput::Lost(const std::string& problem) {
  m_s.Err() << kProgram << ": frames lost: " << problem << "\n";
  m_s.Err().flush();
}

void CPcapngOutput::PacketDone() {
  if (!Done()) CheckWrite(m_writer.Flush());
}

void CPcapngOutput::Idle() {
  if (m_writer.ReaderGone()) m_bReaderGone = true;
}

bool CPcapngOutput::Close(int* status) {
  if (m_bOpen && !m_bReaderGone) CheckWrite(m_writer.Finish());
  if (m_strErr.empty()) return true;
  *status = m_s.Fail(m_strErr, kViewExitFailed);
  return false;
}

// Starts the capture when it is stopped and starting is wanted; *started says whether this
// call started it. False after reporting why.
bool StartIfStopped(CViewSession& s, bool bStart, bool* started, int* status) {
  *started = false;
  DWORD state = 0;
  if (!s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, &state, "capture state", status))
    return false;
  if (state == KRPCOMM_STATE_CAPTURING || !bStart) return true;
  const KrpReply r = s.WriteValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, KRPCOMM_CMD_START);
  // Someone else started it in between, which is as good.
  if (r.answered && r.result == KRP_E_INVALID_STATE) return true;
  if (!s.Check(r, "start", status)) return false;
  *started = true;
  // The logger does not report why a start failed; its state tells whether it did.
  if (!s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, &state, "capture state", status))
    return false;
  if (state != KRPCOMM_STATE_CAPTURING) {
    *status = s.Fail("the logger did not start capturing (see its console)", kViewExitFailed);
    return false;
  }
  return true;
}

}  // namespace

int RunExtcapCapture(const ExtcapCaptureOptions& opt, CExtcapFilter& filter, std::ostream& out,
                     std::ostream& err) {
  CViewSession s(opt.view, "capture", out, err, kProgram);
  if (!s.Connect()) return kViewExitConnection;
  FollowOptions f;
  f.bNotify = true;
  f.nCycleMs = opt.nCycleMs;
  f.cbPacket = kPacketBytes;
  CFrameFollower follower(s, f);
  int status = kViewExitOk;
  // The view is opened first: a start resets it to the beginning of the new capture, so a
  // capture started here reaches the reader from its first frame.
  if (!follower.Begin(&status)) return status;
  bool started = false;
  CPcapngOutput output(s, filter);
  std::unique_ptr<CTriggerSink> trigger;
  TriggerSpec spec;
  std::string why;
  if (!opt.trigger.empty() && ParseTriggerSpec(opt.trigger, &spec, &why))
    trigger = std::make_unique<CTriggerSink>(s, output, spec, opt.triggerStop, kProgram);
  if (StartIfStopped(s, opt.bStart, &started, &status) && output.Open(opt.fifo)) {
    status = follower.Run(trigger ? static_cast<IFrameSink&>(*trigger) : output);
    if (follower.ConnectionLost())
      status = s.Fail("the logger closed the connection", kViewExitConnection);
  }
  follower.End();
  if (trigger && status == kViewExitOk) status = trigger->Report();
  if (started && s.Client().Connected())
    s.WriteValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, KRPCOMM_CMD_STOP);
  output.Close(&status);
  return status;
}
