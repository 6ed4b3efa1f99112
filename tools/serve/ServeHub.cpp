#include "serve/ServeHub.h"

#include <chrono>
#include <sstream>

#include "frames/CapFrameFormat.h"
#include "viewclient/FrameFollower.h"
#include "viewclient/SavedFrameFinder.h"

namespace {

constexpr DWORD kRetryMs = 2000;
constexpr auto kStatusEvery = std::chrono::milliseconds(1000);
// Long enough for a loaded logger to answer, short enough that a page soon says that another
// viewer holds it (the logger leaves a second viewer unanswered in its listen backlog).
constexpr DWORD kFirstAnswerMs = 3000;
// Room a frame's event may need at most (its packet's first 16 KiB in hex, and its line).
constexpr size_t kFrameEventRoom = 64u << 10;

// What the session reported, without the "nmx-view: serve: " it puts in front.
std::string Reported(std::ostringstream& err) {
  std::string text = err.str();
  err.str("");
  const std::string prefix = "nmx-view: serve: ";
  std::string out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(prefix, 0) == 0) line.erase(0, prefix.size());
    if (!out.empty()) out += "; ";
    out += line;
  }
  return out;
}

}  // namespace

struct CServeHub::Pending {
  Action action;
  bool bStarts = false;
  bool bDone = false;
  Outcome outcome;
};

// Frames of the follower to every open page, paired and counted for the pages and /metrics,
// and the worker's turn for actions, the trigger and the status between packets.
class CServeHub::CSink : public IFrameSink {
 public:
  CSink(CServeHub& hub, CViewSession& s, DWORD next) : m_hub(hub), m_s(s), m_nNext(next) {}

  void Frame(const BYTE* record, DWORD size) override {
    const DWORD number = m_nNext++;
    const CapFrame f = RecordFrame(record, size, number, 0);
    const KrpPayload krp = DecodeKrpPayload(f.head, f.Data(), f.DataInView());
    const PairingResult pairing = m_pairing.Feed(number, f.nTimeStamp, f.head, krp);
    m_bHaveTime = true;
    m_nLastTime = f.nTimeStamp;
    m_lastSeen = std::chrono::steady_clock::now();
    ServeFrameFacts facts;
    facts.bError = pairing.bError;
    if (pairing.answer == PairAnswer::kAnswers || pairing.answer == PairAnswer::kLate) {
      facts.bAnswers = true;
      facts.nRequest = pairing.request.nFrame;
      facts.nMicros = pairing.ResponseMicros();
      facts.bHasGroup = pairing.request.bHasIndexGroup;
      facts.nGroup = pairing.request.nIndexGroup;
      const char* name = (pairing.request.stateFlags & NMX_FLAG_KRP_COMMAND)
                             ? KrpCommandName(pairing.request.cmdId)
                             : nullptr;
      m_hub.m_metrics.Answered(name ? name : "", facts.nMicros);
    } else {
      for (const KrpField& k : krp.fields) {
        if (std::string(k.szName) != "indexGroup") continue;
        facts.bHasGroup = true;
        facts.nGroup = static_cast<DWORD>(k.nValue);
      }
    }
    m_hub.m_metrics.Frame(size, pairing.bError);
    ++m_nSecondFrames;
    if (pairing.bError) ++m_nSecondErrors;
    Expire(f.nTimeStamp);
    if (m_trigger && m_trigger->Frame(number, record, size)) m_bTriggerFired = true;
    // Making the event is most of a frame's cost: while no page has room for it, the frame is
    // only counted, so the follower keeps up with the logger however slow the pages are.
    if (!m_hub.AnyRoom()) return;
    const std::string json = ServeFrameJson(record, size, number, facts);
    std::lock_guard<std::mutex> guard(m_hub.m_mutex);
    for (const auto& stream : m_hub.m_streams) stream->PushFrame("frame", json);
  }
  void Lost(const std::string& problem) override {
    m_hub.m_metrics.Gap();
    const std::string json = ServeLostJson(problem);
    std::lock_guard<std::mutex> guard(m_hub.m_mutex);
    for (const auto& stream : m_hub.m_streams) stream->PushFrame("lost", json);
  }
  void PacketDone() override { Turn(); }
  void Idle() override { Turn(); }
  bool Done() override { return m_bFailed || !m_hub.WantFollow(); }

 private:
  void Turn() {
    if (m_hub.RunActions(m_s)) {
      // A new capture: numbers from 0, and nothing of the last one waits for an answer.
      m_nNext = 0;
      m_pairing.Finish([](const PairedRequest&) {});
      m_bHaveTime = false;
      m_nTriggerGeneration = 0;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_bHaveTime) {
      const auto passed = std::chrono::duration_cast<std::chrono::microseconds>(now - m_lastSeen);
      Expire(m_nLastTime + passed.count() * 10);
    }
    if (now - m_secondStart >= std::chrono::seconds(1)) Rate(now);
    Trigger(now);
    if (now - m_last < kStatusEvery) return;
    m_last = now;
    if (!m_hub.Refresh(m_s)) m_bFailed = true;
  }

  // Requests without an answer by now (a file time).
  void Expire(LONGLONG now) {
    m_pairing.Expire(now, LONGLONG{kUnansweredMs} * 10000, [&](const PairedRequest& r) {
      m_hub.m_metrics.Unanswered();
      const std::string json = ServeUnansweredJson(r.nFrame, kUnansweredMs);
      std::lock_guard<std::mutex> guard(m_hub.m_mutex);
      for (const auto& stream : m_hub.m_streams) stream->PushFrame("unanswered", json);
    });
  }

  void Rate(std::chrono::steady_clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - m_secondStart).count();
    const auto unixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const std::string json =
        ServeRateJson(static_cast<uint64_t>(unixMs), seconds, m_nSecondFrames, m_nSecondErrors);
    m_secondStart = now;
    m_nSecondFrames = 0;
    m_nSecondErrors = 0;
    std::lock_guard<std::mutex> guard(m_hub.m_mutex);
    for (const auto& stream : m_hub.m_streams) stream->PushFrame("rate", json);
  }

  // Takes up the trigger the page armed; once it is due, stops the capture and finds the
  // trigger frame in the saved capture.
  void Trigger(std::chrono::steady_clock::time_point now) {
    std::shared_ptr<const ArmedTrigger> armed;
    {
      std::lock_guard<std::mutex> guard(m_hub.m_mutex);
      armed = m_hub.m_armed;
    }
    if (!armed) {
      m_trigger.reset();
      m_nTriggerGeneration = 0;
      return;
    }
    if (armed->nGeneration != m_nTriggerGeneration) {
      m_trigger = std::make_unique<CFrameTrigger>(armed->spec, armed->stop);
      m_nTriggerGeneration = armed->nGeneration;
      m_bTriggerFired = false;
    }
    if (m_trigger->Tick(now)) m_bTriggerFired = true;
    if (m_bTriggerFired) {
      m_bTriggerFired = false;
      m_hub.UpdateTrigger(armed->nGeneration, [&](ServeTriggerState& t) {
        t.stage = ServeTriggerState::Stage::kFired;
        t.nFrame = m_trigger->Trigger().nFrame;
        t.why = m_trigger->Trigger().why;
        t.line = m_trigger->Trigger().line;
      });
    }
    if (!m_trigger->StopDue(now)) return;
    const int status = ViewStop(m_s);
    std::string why = Reported(static_cast<std::ostringstream&>(m_s.Err()));
    SavedFramePlace place;
    // A capture that had stopped already is as good: its file is complete.
    const bool stopped = status == kViewExitOk || why.find("(0x712)") != std::string::npos;
    if (stopped && !FindSavedFrame(m_s, m_trigger->Trigger(), &place)) {
      const std::string more = Reported(static_cast<std::ostringstream&>(m_s.Err()));
      if (!more.empty()) place.why += " (" + more + ")";
    }
    const uint64_t after = m_trigger->FramesAfter();
    m_hub.UpdateTrigger(
        armed->nGeneration,
        [&](ServeTriggerState& t) {
          if (!stopped) {
            t.stage = ServeTriggerState::Stage::kFailed;
            t.message = why;
            return;
          }
          t.stage = ServeTriggerState::Stage::kStopped;
          t.place = "stopped the capture " + std::to_string(after) + " frames after it; it is " +
                    SavedFramePlaceText(place);
          t.bFound = place.state == CSavedFrameFinder::State::kFound;
          t.nIndex = place.nIndex;
          t.nFrames = place.nFrames;
        },
        true);
    m_trigger.reset();
    m_hub.Refresh(m_s);
  }

  CServeHub& m_hub;
  CViewSession& m_s;
  DWORD m_nNext;
  bool m_bFailed = false;
  std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
  CRequestPairing m_pairing;
  bool m_bHaveTime = false;
  LONGLONG m_nLastTime = 0;  // the newest frame's time
  std::chrono::steady_clock::time_point m_lastSeen;
  std::chrono::steady_clock::time_point m_secondStart = std::chrono::steady_clock::now();
  uint64_t m_nSecondFrames = 0;
  uint64_t m_nSecondErrors = 0;
  std::unique_ptr<CFrameTrigger> m_trigger;
  uint64_t m_nTriggerGeneration = 0;
  bool m_bTriggerFired = false;
};

CServeHub::CServeHub(const ViewOptions& opt, bool followAlways)
    : m_opt(opt),
      m_logger(opt.host + ":" + std::to_string(opt.port)),
      m_bFollowAlways(followAlways) {
  m_stateJson = ServeStateJson(m_state, m_logger);
  m_worker = std::thread([this] { Work(); });
}

CServeHub::~CServeHub() {
  Shutdown();
}

void CServeHub::Shutdown() {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bShutdown = true;
    for (const auto& stream : m_streams) stream->Close();
    m_streams.clear();
    m_wake.notify_all();
  }
  if (m_worker.joinable()) m_worker.join();
}

std::shared_ptr<CServeStream> CServeHub::Open() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_bShutdown || m_streams.size() >= kMaxStreams) return nullptr;
  auto stream = std::make_shared<CServeStream>();
  stream->PushState(m_stateJson);
  m_streams.insert(stream);
  m_wake.notify_all();
  return stream;
}

void CServeHub::Close(const std::shared_ptr<CServeStream>& stream) {
  stream->Close();
  std::lock_guard<std::mutex> guard(m_mutex);
  m_streams.erase(stream);
}

CServeHub::Outcome CServeHub::Act(Action action, bool startsCapture) {
  auto p = std::make_shared<Pending>();
  p->action = std::move(action);
  p->bStarts = startsCapture;
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_bShutdown) return Outcome{kViewExitConnection, "", "the server is ending"};
  m_actions.push_back(p);
  m_wake.notify_all();
  m_wake.wait(lock, [&] { return p->bDone; });
  return p->outcome;
}

std::string CServeHub::StateMessage() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_state.message;
}

std::string CServeHub::StateJson() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_stateJson;
}

bool CServeHub::AnyRoom() {
  std::lock_guard<std::mutex> guard(m_mutex);
  bool room = false;
  for (const auto& stream : m_streams) room = room || stream->HasRoom(kFrameEventRoom);
  if (!room)
    for (const auto& stream : m_streams) stream->Drop();
  return room;
}

bool CServeHub::WantFollow() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return WantFollowLocked();
}

bool CServeHub::WantFollowLocked() const {
  if (m_bShutdown) return false;
  return !m_streams.empty() || m_armed || m_bFollowAlways;
}

void CServeHub::ArmTrigger(const std::string& what, const TriggerSpec& spec,
                           const TriggerStop& stop) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_armed = std::make_shared<const ArmedTrigger>(ArmedTrigger{++m_nArmings, spec, stop});
  m_state.trigger = ServeTriggerState();
  m_state.trigger.stage = ServeTriggerState::Stage::kArmed;
  m_state.trigger.what = what;
  m_state.trigger.nAfter = stop.nFrames;
  m_state.trigger.nAfterMs = stop.nMs;
  m_state.trigger.bByTime = stop.bByTime;
  Publish();
  m_wake.notify_all();
}

void CServeHub::DisarmTrigger() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_armed.reset();
  m_state.trigger = ServeTriggerState();
  Publish();
}

void CServeHub::UpdateTrigger(uint64_t generation,
                              const std::function<void(ServeTriggerState&)>& change, bool done) {
  std::lock_guard<std::mutex> guard(m_mutex);
  // The page armed another trigger meanwhile: this one's news is stale.
  if (!m_armed || m_armed->nGeneration != generation) return;
  change(m_state.trigger);
  if (done) m_armed.reset();
  Publish();
}

std::string CServeHub::MetricsText() {
  bool up = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    up = m_state.link == ServeLink::kFollowing;
  }
  // Not following: the state is read for this answer (an action refreshes it), and the
  // logger is let go again.
  if (!up) up = Act([](CViewSession&) { return kViewExitOk; }).status == kViewExitOk;
  ServeState state;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    state = m_state;
  }
  return m_metrics.Text(state, up);
}

void CServeHub::Work() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_bShutdown) {
    m_wake.wait(lock, [&] { return m_bShutdown || WantFollowLocked() || !m_actions.empty(); });
    if (m_bShutdown) break;
    lock.unlock();
    Session();
    lock.lock();
    // A session that ended while pages still watch failed: try again in a while, sooner for
    // an action.
    if (WantFollowLocked())
      m_wake.wait_for(lock, std::chrono::milliseconds(kRetryMs),
                      [&] { return m_bShutdown || !m_actions.empty() || !WantFollowLocked(); });
  }
  lock.unlock();
  FailActions("the server is ending");
}

void CServeHub::Session() {
  std::ostringstream out, err;
  ViewOptions opt = m_opt;
  CViewSession s(opt, "serve", out, err);
  SetState(ServeLink::kConnecting, "");
  if (!s.Connect()) {
    const std::string why = Reported(err);
    SetState(ServeLink::kUnreachable, why);
    FailActions(why);
    return;
  }
  s.Client().SetTimeout(kFirstAnswerMs < m_opt.timeoutMs ? kFirstAnswerMs : m_opt.timeoutMs);
  CaptureStatus first;
  int status = kViewExitOk;
  if (!ReadCaptureStatus(s, &first, &status)) {
    const std::string why = Reported(err);
    if (s.Client().Connected() && status == kViewExitConnection) {
      SetState(ServeLink::kBusy, "another viewer holds the logger (" + why + ")");
      FailActions("another viewer holds the logger");
    } else {
      SetState(ServeLink::kUnreachable, why);
      FailActions(why);
    }
    return;
  }
  s.Client().SetTimeout(m_opt.timeoutMs);
  if (!WantFollow()) {
    RunActions(s);
    if (!WantFollow()) return;
  }

  // The view opens before any action runs, so a start is followed from its first frame (the
  // logger resets its view when a capture starts); actions wait for the first turn.
  if (!Refresh(s)) {
    FailActions(StateMessage());
    return;
  }
  DWORD next = 0;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_state.capture.bCapturing && m_state.capture.frames > 0)
      next = static_cast<DWORD>(m_state.capture.frames);
  }
  FollowOptions f;
  CFrameFollower follower(s, f);
  if (!follower.Begin(&status)) {
    const std::string why = Reported(err);
    SetState(ServeLink::kUnreachable, why);
    FailActions(why);
    return;
  }
  SetState(ServeLink::kFollowing, "");
  CSink sink(*this, s, next);
  follower.Run(sink);
  follower.End();
  RunActions(s);
  const std::string why = Reported(err);
  if (follower.ConnectionLost() || !s.Client().Connected()) {
    SetState(ServeLink::kUnreachable, "the logger closed the connection");
    FailActions("the logger closed the connection");
  } else {
    // Actions that came after the last turn get a connection of their own.
    SetState(why.empty() ? ServeLink::kIdle : ServeLink::kUnreachable, why);
  }
}

bool CServeHub::RunActions(CViewSession& s) {
  bool started = false;
  for (;;) {
    std::shared_ptr<Pending> p;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      if (m_actions.empty()) break;
      p = m_actions.front();
      m_actions.pop_front();
    }
    auto& out = static_cast<std::ostringstream&>(s.Out());
    auto& err = static_cast<std::ostringstream&>(s.Err());
    out.str("");
    err.str("");
    Outcome o;
    o.status = p->action(s);
    o.out = out.str();
    out.str("");
    o.error = Reported(err);
    if (o.status == kViewExitOk && p->bStarts) started = true;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      p->outcome = std::move(o);
      p->bDone = true;
      m_wake.notify_all();
    }
    // The page sees what the action changed without waiting for the next refresh.
    if (s.Client().Connected()) Refresh(s);
  }
  return started;
}

void CServeHub::FailActions(const std::string& why) {
  std::lock_guard<std::mutex> guard(m_mutex);
  for (const auto& p : m_actions) {
    p->outcome = Outcome{kViewExitConnection, "", why};
    p->bDone = true;
  }
  m_actions.clear();
  m_wake.notify_all();
}

bool CServeHub::Refresh(CViewSession& s) {
  CaptureStatus st;
  int status = kViewExitOk;
  const bool ok = ReadCaptureStatus(s, &st, &status);
  std::string why;
  if (!ok) why = Reported(static_cast<std::ostringstream&>(s.Err()));
  std::lock_guard<std::mutex> guard(m_mutex);
  if (ok) {
    m_state.bHaveCapture = true;
    m_state.capture = st;
  } else {
    m_state.link = ServeLink::kUnreachable;
    m_state.message = why;
  }
  Publish();
  return ok;
}

void CServeHub::SetState(ServeLink link, const std::string& message) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_state.link = link;
  m_state.message = message;
  Publish();
}

void CServeHub::Publish() {
  std::string json = ServeStateJson(m_state, m_logger);
  if (json == m_stateJson) return;
  m_stateJson = std::move(json);
  for (const auto& stream : m_streams) stream->PushState(m_stateJson);
}
