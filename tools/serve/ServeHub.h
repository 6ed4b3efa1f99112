// CServeHub: the page server's side of the logger. One worker thread holds the single viewer
// connection while at least one page is open, a trigger is armed, serve --metrics runs or an
// action runs; it follows the capture with CFrameFollower, pairs and counts the frames, and
// fans them out to the pages' streams; otherwise it lets the connection go, so other viewers
// can have the logger.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "serve/ServeJson.h"
#include "serve/ServeMetrics.h"
#include "serve/ServeStream.h"
#include "viewclient/FrameTrigger.h"
#include "viewclient/ViewSession.h"

class CServeHub {
 public:
  static constexpr size_t kMaxStreams = 4;

  // followAlways: follow the capture whether pages are open or not (serve --metrics).
  explicit CServeHub(const ViewOptions& opt, bool followAlways = false);
  // Shutdown().
  ~CServeHub();
  CServeHub(const CServeHub&) = delete;
  CServeHub& operator=(const CServeHub&) = delete;

  // Ends every stream and action and lets the connection go; later calls do nothing.
  void Shutdown();

  // A stream for a page that opens, which gets the current state at once; null when
  // kMaxStreams pages are open or the hub is shut down. Close it when the page goes.
  std::shared_ptr<CServeStream> Open();
  void Close(const std::shared_ptr<CServeStream>& stream);

  // The outcome of an action: its exit status (viewclient/ViewOptions.h) and what it reported.
  struct Outcome {
    int status = kViewExitOk;
    std::string out;
    std::string error;  // "start: already capturing (0x712)"
  };
  typedef std::function<int(CViewSession&)> Action;
  // Runs action on the worker's connection, connecting for it when no page is open, and
  // waits for it. started tells that the action began a new capture (frames are numbered
  // from 0 again).
  Outcome Act(Action action, bool startsCapture = false);

  std::string StateJson();

  // Arms the trigger (an empty what disarms it): the hub follows the capture, with or without
  // a page, until the trigger has stopped it. The spec and stop come checked.
  void ArmTrigger(const std::string& what, const TriggerSpec& spec, const TriggerStop& stop);
  void DisarmTrigger();

  // GET /metrics: the counts and the logger's state; when serve does not follow the capture,
  // the state is read for it on a connection of its own.
  std::string MetricsText();

  // A request without an answer after this long is shown as unanswered.
  static constexpr DWORD kUnansweredMs = 2000;

 private:
  struct Pending;
  struct ArmedTrigger {
    uint64_t nGeneration;
    TriggerSpec spec;
    TriggerStop stop;
  };

  void Work();
  // One connection: actions, and following while pages are open.
  void Session();
  // Runs the queued actions; true if one started a capture.
  bool RunActions(CViewSession& s);
  void FailActions(const std::string& why);
  // Reads the capture status into the state and tells the pages; false when that failed.
  bool Refresh(CViewSession& s);
  void SetState(ServeLink link, const std::string& message);
  void Publish();  // m_mutex held
  // Changes the trigger's state while the page has not armed another; done disarms it.
  void UpdateTrigger(uint64_t generation, const std::function<void(ServeTriggerState&)>& change,
                     bool done = false);
  std::string StateMessage();
  bool WantFollow();
  bool WantFollowLocked() const;  // m_mutex held
  // Whether a page has room for a frame; when none has, each counts the frame as dropped.
  bool AnyRoom();

  class CSink;
  friend class CSink;

  const ViewOptions m_opt;
  const std::string m_logger;  // "HOST:PORT"
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_bShutdown = false;
  std::set<std::shared_ptr<CServeStream>> m_streams;
  std::deque<std::shared_ptr<Pending>> m_actions;
  ServeState m_state;
  std::string m_stateJson;
  // The trigger the page armed, handed to the worker by its generation; null when off.
  std::shared_ptr<const ArmedTrigger> m_armed;
  uint64_t m_nArmings = 0;
  const bool m_bFollowAlways;
  CServeMetrics m_metrics;
  std::thread m_worker;
};
