// CServeHub: the page server's side of the logger. One worker thread holds the single viewer
// connection while at least one page is open or an action runs, follows the capture with
// CFrameFollower and fans the frames out to the pages' streams; without pages it lets the
// connection go, so other viewers can have the logger.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "nmx-view/ServeJson.h"
#include "nmx-view/ServeStream.h"
#include "nmx-view/ViewSession.h"

class CServeHub {
 public:
  static constexpr size_t kMaxStreams = 4;

  explicit CServeHub(const ViewOptions& opt);
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

  // The outcome of an action: its exit status (NmxView.h) and what it reported.
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

 private:
  struct Pending;

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
  std::string StateMessage();
  bool WantFollow();
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
  std::thread m_worker;
};
