// CFrameFollower: the frames a logger captures from now on, read through a view of its
// capture, pushed by notifications or polled, put together again from their packets and
// handed to a sink whole and in capture order.
#pragma once

#include <memory>
#include <string>

#include "frames/CapRecord.h"
#include "viewclient/PacketAssembler.h"
#include "viewclient/ViewOptions.h"
#include "viewclient/ViewSession.h"

// Where a follower's frames go. Called on the thread that runs the follower.
class IFrameSink {
 public:
  virtual ~IFrameSink() = default;
  // Each whole, well-formed record (size bytes, valid during the call).
  virtual void Frame(const BYTE* record, DWORD size) = 0;
  // Frames were lost between two records handed over; problem says how.
  virtual void Lost(const std::string& problem) = 0;
  // The records of one capture packet have been handed over.
  virtual void PacketDone() {}
  // Nothing arrived for a while (100 ms, or one poll cycle).
  virtual void Idle() {}
  // True ends the run; asked before every wait.
  virtual bool Done() = 0;
};

// A record a follower handed over, as the frame nmx-cap's formatting takes, numbered index at
// file offset offset.
CapFrame RecordFrame(const BYTE* record, DWORD size, DWORD index, DWORD offset);

class CPacketQueue;

// Not thread-safe: one thread drives it. The session must outlive it.
class CFrameFollower {
 public:
  static constexpr DWORD kMinPacket = 25;
  static constexpr DWORD kMaxPacket = 16u << 20;

  // f.bNotify, f.nCycleMs and f.cbPacket are taken; the rest is the caller's.
  CFrameFollower(CViewSession& s, const FollowOptions& f);
  // Ends the following if it is still open.
  ~CFrameFollower();
  CFrameFollower(const CFrameFollower&) = delete;
  CFrameFollower& operator=(const CFrameFollower&) = delete;

  // Opens a view of the capture and, with notifications, asks for them. False after
  // reporting why through the session, with the exit status in *status; nothing stays open.
  bool Begin(int* status);
  DWORD View() const { return m_hView; }

  // Hands frames to sink until sink.Done(), the connection breaks (ConnectionLost) or a
  // poll is refused; returns the exit status, kViewExitOk unless a poll was refused.
  int Run(IFrameSink& sink);
  bool ConnectionLost() const { return m_bConnectionLost; }

  // Deletes the notification and closes the view while the connection stands. Later calls
  // do nothing.
  void End();

 private:
  void Process(const std::vector<BYTE>& packet, IFrameSink& sink);

  CViewSession& m_s;
  const DWORD m_cbPacket;
  const DWORD m_nCycleMs;
  const bool m_bNotify;
  CPacketAssembler m_assembler;
  // Shared with the notification sink, which may still run on the receiver thread after
  // this object has gone.
  std::shared_ptr<CPacketQueue> m_queue;
  DWORD m_hView = 0;
  DWORD m_hNote = 0;
  bool m_bViewOpen = false;
  bool m_bNotifying = false;
  bool m_bConnectionLost = false;
};
