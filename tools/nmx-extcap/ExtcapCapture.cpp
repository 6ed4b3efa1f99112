#include "nmx-extcap/ExtcapCapture.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <thread>

#include "capture/CaptureFormat.h"
#include "frames/CapTime.h"
#include "frames/PcapngWriter.h"
#include "nmx/KrpTypes.h"
#include "os/ByteOrder.h"
#include "os/OsUserTools.h"
#include "viewclient/FrameFollower.h"
#include "viewclient/TriggerSink.h"
#include "viewclient/ViewProcess.h"
#include "viewclient/ViewSession.h"

namespace {

constexpr DWORD kPacketBytes = 65536;
constexpr char kProgram[] = "nmx-extcap";

// Each frame's pseudo-Ethernet frame into the pcapng stream, stamped with its recorded time.
class CPcapngOutput : public IFrameSink {
 public:
  CPcapngOutput(CViewSession& s, CExtcapFilter& filter) : m_s(s), m_filter(filter) {}

  bool Open(const std::string& fifo);
  bool Opened() const { return m_bOpen; }
  // Frames the logger captured while this run followed it, when known; they go into the
  // statistics at the end of the stream.
  void SetLoggerFrames(std::optional<uint64_t> n) { m_loggerFrames = n; }
  // Ends the stream with the interface's statistics and closes it; false (and *status set)
  // after reporting a failure on the way.
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
  std::optional<uint64_t> m_startNs;
  std::optional<uint64_t> m_loggerFrames;
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
  uint64_t ns = 0;
  if (FileTimeToUnixNanoseconds(OsUserGetSystemTimeAsFileTime(), &ns)) m_startNs = ns;
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
  if (m_bOpen && !m_bReaderGone && m_strErr.empty()) {
    // The logger does not tell a viewer what it lost, so no drop count is written.
    PcapngStatistics st;
    uint64_t ns = 0;
    if (FileTimeToUnixNanoseconds(OsUserGetSystemTimeAsFileTime(), &ns)) {
      st.nTakenNs = ns;
      st.endNs = ns;
    }
    st.startNs = m_startNs;
    st.received = m_loggerFrames;
    CheckWrite(m_writer.WriteStatistics(st));
  }
  if (m_bOpen && !m_bReaderGone) CheckWrite(m_writer.Finish());
  if (m_strErr.empty()) return true;
  *status = m_s.Fail(m_strErr, kViewExitFailed);
  return false;
}

// The frames the logger's capture has taken so far: those it holds and those its ring gave
// up. Nothing when it does not answer.
std::optional<uint64_t> CapturedFrames(CViewSession& s) {
  const KrpReply r =
      s.Client().Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_INFO, sizeof(KrpCommCaptureInfo));
  if (!r.answered || r.result != 0 || r.data.size() != sizeof(KrpCommCaptureInfo))
    return std::nullopt;
  const LONG frames =
      static_cast<LONG>(vx::DecodeLE32(r.data.data() + offsetof(KrpCommCaptureInfo, nFrames)));
  if (frames < 0) return std::nullopt;
  return static_cast<uint64_t>(frames) +
         vx::DecodeLE32(r.data.data() + offsetof(KrpCommCaptureInfo, nOverflows));
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

// A run that fails before its stream began must still let the reader go: Wireshark's
// capture child opens the FIFO and waits in that open until a writer comes, which would be
// for ever once this process has gone. So the FIFO is opened as soon as a reader is there
// and closed at once, and the reader sees the stream end. Without a reader within
// kReaderWait, or after a stop was requested, the run ends all the same.
void ReleaseReader(const std::string& fifo) {
  constexpr auto kReaderWait = std::chrono::seconds(3);
  const auto deadline = std::chrono::steady_clock::now() + kReaderWait;
  while (!ViewStopRequested()) {
    // Never creates anything: a FIFO without a reader refuses a non-blocking open (ENXIO).
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      return;
    }
    if ((errno != ENXIO && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int Capture(const ExtcapCaptureOptions& opt, CExtcapFilter& filter, std::ostream& out,
            std::ostream& err, bool* streamOpened) {
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
    // A capture started here counts from 0; one found running from what it has by now.
    const std::optional<uint64_t> before = started ? 0 : CapturedFrames(s);
    status = follower.Run(trigger ? static_cast<IFrameSink&>(*trigger) : output);
    if (follower.ConnectionLost()) {
      status = s.Fail("the logger closed the connection", kViewExitConnection);
    } else if (const std::optional<uint64_t> after = CapturedFrames(s);
               before && after && *after >= *before) {
      // A capture stopped and started again in between counts from 0 again: then unknown.
      output.SetLoggerFrames(*after - *before);
    }
  }
  follower.End();
  if (trigger && status == kViewExitOk) status = trigger->Report();
  if (started && s.Client().Connected())
    s.WriteValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, KRPCOMM_CMD_STOP);
  output.Close(&status);
  *streamOpened = output.Opened();
  return status;
}

}  // namespace

int RunExtcapCapture(const ExtcapCaptureOptions& opt, CExtcapFilter& filter, std::ostream& out,
                     std::ostream& err) {
  bool opened = false;
  const int status = Capture(opt, filter, out, err, &opened);
  if (status != kViewExitOk && !opened) ReleaseReader(opt.fifo);
  return status;
}
