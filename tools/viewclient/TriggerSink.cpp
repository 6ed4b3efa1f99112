#include "viewclient/TriggerSink.h"

#include "viewclient/SavedFrameFinder.h"
#include "viewclient/ViewCommands.h"

CTriggerSink::CTriggerSink(CViewSession& s, IFrameSink& inner, const TriggerSpec& spec,
                           const TriggerStop& stop, const char* program,
                           std::function<void()> onFired)
    : m_s(s),
      m_inner(inner),
      m_trigger(spec, stop),
      m_program(program),
      m_onFired(std::move(onFired)) {}

void CTriggerSink::Say(const std::string& text) {
  m_s.Err() << m_program << ": trigger: " << text << "\n";
  m_s.Err().flush();
}

void CTriggerSink::Frame(const BYTE* record, DWORD size) {
  if (m_trigger.Frame(m_nFrames++, record, size)) {
    Say(m_trigger.Spec().text + " (" + m_trigger.Trigger().why + "): " + m_trigger.Trigger().line);
    if (m_onFired) m_onFired();
  }
  m_inner.Frame(record, size);
}

void CTriggerSink::PacketDone() {
  m_inner.PacketDone();
  Check();
}

void CTriggerSink::Idle() {
  m_inner.Idle();
  Check();
}

// Between packets: the stop goes on the connection the follower uses, never in the middle of
// a packet's frames.
void CTriggerSink::Check() {
  if (m_bStopped) return;
  if (m_trigger.Tick()) {
    Say(m_trigger.Spec().text + " (" + m_trigger.Trigger().why + "): " + m_trigger.Trigger().line);
    if (m_onFired) m_onFired();
  }
  if (!m_trigger.StopDue()) return;
  m_bStopped = true;
  const KrpReply r = m_s.WriteValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, KRPCOMM_CMD_STOP);
  m_nStopStatus = kViewExitOk;
  if (r.answered && r.result == KRP_E_INVALID_STATE) {
    Say("the capture had stopped already");
    return;
  }
  m_s.Check(r, "stop", &m_nStopStatus);
}

int CTriggerSink::Report() {
  if (!m_bStopped) {
    if (m_trigger.Fired())
      Say("fired, but the follow ended " + std::to_string(m_trigger.FramesAfter()) +
          " frames after it, before the capture was to stop");
    return kViewExitOk;
  }
  if (m_nStopStatus != kViewExitOk) return m_nStopStatus;
  const TriggerFrame& t = m_trigger.Trigger();
  Say("stopped the capture " + std::to_string(m_trigger.FramesAfter()) + " frames after frame " +
      std::to_string(t.nFrame));
  SavedFramePlace place;
  FindSavedFrame(m_s, t, &place);
  Say("frame " + std::to_string(t.nFrame) + " is " + SavedFramePlaceText(place));
  return kViewExitOk;
}
