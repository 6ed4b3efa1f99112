#include "viewclient/SavedFrameFinder.h"

#include <algorithm>

#include "capture/CaptureFormat.h"
#include "os/ByteOrder.h"
#include "viewclient/ViewCommands.h"

namespace {

// Large reads: the frame may lie far into a file of gigabytes.
constexpr DWORD kChunk = 1u << 20;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool CSavedFrameFinder::Add(const BYTE* p, size_t n) {
  while (m_state == State::kReading && n > 0) {
    if (m_nSkip > 0) {
      const size_t skip = static_cast<size_t>(std::min<uint64_t>(m_nSkip, n));
      m_nSkip -= skip;
      m_nAt += skip;
      p += skip;
      n -= skip;
      continue;
    }
    const size_t want = m_bHaveHeader ? vxcap::kMinRecordSize : vxcap::kHeaderSize;
    const size_t take = std::min(want - m_head.size(), n);
    m_head.insert(m_head.end(), p, p + take);
    p += take;
    n -= take;
    if (m_head.size() < want) break;
    if (!m_bHaveHeader) {
      vxcap::HeaderInfo info{};
      if (vxcap::DecodeHeader(m_head.data(), m_head.size(), &info) != vxcap::HeaderStatus::kOk ||
          info.frameTableOffset < vxcap::kHeaderSize) {
        m_state = State::kNotACapture;
        break;
      }
      m_bHaveHeader = true;
      m_nFrames = vxcap::FrameCount(info);
      m_nRecordsEnd = info.frameTableOffset;
      m_nAt = vxcap::kHeaderSize;
      m_head.clear();
      if (m_nAt == m_nRecordsEnd) m_state = State::kAbsent;
      continue;
    }
    Record();
  }
  return m_state == State::kReading;
}

// The record whose first kMinRecordSize bytes m_head holds.
void CSavedFrameFinder::Record() {
  const vxcap::RecordHead rec = vxcap::DecodeRecordHead(m_head.data());
  const uint64_t size = uint64_t{rec.frameLength} + vxcap::kRecordHeadSize;
  if (size < vxcap::kMinRecordSize || m_nAt + size > m_nRecordsEnd) {
    m_state = State::kDamaged;
    return;
  }
  const NmxHead h = DecodeNmxHead(m_head.data() + vxcap::kPacketOffset);
  if (rec.timeStamp == m_frame.nTime && h.sender == m_frame.sender && h.target == m_frame.target &&
      h.cmdId == m_frame.cmdId && h.stateFlags == m_frame.stateFlags &&
      h.hUser == m_frame.invokeId) {
    m_state = State::kFound;
    return;
  }
  ++m_nIndex;
  m_nAt += m_head.size();
  m_nSkip = size - m_head.size();
  m_head.clear();
  if (m_nAt + m_nSkip == m_nRecordsEnd) {
    // The last record: what is left of it tells nothing more.
    m_nSkip = 0;
    m_state = State::kAbsent;
  }
}

void CSavedFrameFinder::End() {
  if (m_state == State::kReading) m_state = State::kDamaged;
}

bool FindSavedFrame(CViewSession& s, const TriggerFrame& frame, SavedFramePlace* place) {
  *place = SavedFramePlace();
  CaptureStatus st;
  int status = kViewExitOk;
  CViewClient& client = s.Client();
  if (!ReadCaptureStatus(s, &st, &status)) {
    place->why = "cannot read the capture's state";
    return false;
  }
  if (st.captureFile.empty()) {
    place->why = "the logger names no capture file";
    return false;
  }
  place->file = st.captureFile;
  const std::string name = BaseName(st.captureFile);
  std::vector<BYTE> request(name.begin(), name.end());
  request.push_back(0);
  const KrpReply open = client.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_OPEN_FILE, 4,
                                         request.data(), static_cast<DWORD>(request.size()));
  if (!open.answered || open.result != 0 || open.data.size() != 4) {
    place->why = "cannot open " + name + " in the logger's boot folder";
    return false;
  }
  BYTE slot[4];
  vx::EncodeLE32(slot, vx::DecodeLE32(open.data.data()));
  CSavedFrameFinder finder(frame);
  bool more = true;
  while (more) {
    const KrpReply r = client.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, kChunk, slot, 4);
    if (!r.answered || r.result != 0) {
      place->why = "cannot read " + name + (r.answered ? "" : ": " + r.error);
      break;
    }
    if (r.data.empty()) {
      finder.End();
      break;
    }
    more = finder.Add(r.data.data(), r.data.size());
  }
  if (client.Connected()) client.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, slot, 4);
  if (!place->why.empty()) return false;
  place->state = finder.Result();
  place->nIndex = finder.Index();
  place->nFrames = finder.Frames();
  return true;
}

std::string SavedFramePlaceText(const SavedFramePlace& p) {
  using State = CSavedFrameFinder::State;
  const std::string in = " in " + p.file;
  switch (p.state) {
    case State::kFound:
      return "frame " + std::to_string(p.nIndex) + " of " + std::to_string(p.nFrames) + in + " (" +
             std::to_string(p.nIndex) + " before it, " + std::to_string(p.nFrames - p.nIndex - 1) +
             " after it)";
    case State::kAbsent:
      return "not" + in + " (a ring gave it up, or the file is another capture)";
    case State::kNotACapture:
      return "not found:" + in.substr(3) + " is not a capture file";
    case State::kDamaged:
      return "not found:" + in.substr(3) + " is damaged";
    case State::kReading:
      break;
  }
  return "not found: " + (p.why.empty() ? std::string("unknown") : p.why);
}
