// CTriggerSink: a trigger between a follower and the sink it feeds. Every frame goes on to
// that sink; once the trigger has fired and its frames or time have passed, the logger's
// capture is stopped, and Report tells where the trigger frame lies in the saved capture. A
// trigger that never fires changes nothing.
#pragma once

#include <functional>

#include "viewclient/FrameFollower.h"
#include "viewclient/FrameTrigger.h"
#include "viewclient/ViewSession.h"

// Not thread-safe: runs on the follower's thread. The session and inner must outlive it.
class CTriggerSink : public IFrameSink {
 public:
  // What it reports goes to the session's error stream, each line after "PROGRAM: trigger: ".
  // onFired runs once, when the trigger fires.
  CTriggerSink(CViewSession& s, IFrameSink& inner, const TriggerSpec& spec, const TriggerStop& stop,
               const char* program, std::function<void()> onFired = {});

  void Frame(const BYTE* record, DWORD size) override;
  void Lost(const std::string& problem) override { m_inner.Lost(problem); }
  void PacketDone() override;
  void Idle() override;
  // Once the capture is stopped, or as the inner sink says.
  bool Done() override { return m_bStopped || m_inner.Done(); }

  bool Fired() const { return m_trigger.Fired(); }
  bool Stopped() const { return m_bStopped; }
  // After the follower has ended: where the trigger frame lies in the saved capture, when the
  // capture was stopped. Returns the exit status: kViewExitFailed when the stop was refused.
  int Report();

 private:
  void Check();
  void Say(const std::string& text);

  CViewSession& m_s;
  IFrameSink& m_inner;
  CFrameTrigger m_trigger;
  const char* m_program;
  std::function<void()> m_onFired;
  uint64_t m_nFrames = 0;
  bool m_bStopped = false;
  int m_nStopStatus = 0;
};
