// CServeFront: the door of the page server. One thread accepts every connection, reads its
// request within fixed bounds of size and time, and judges its head (the token, or a loopback
// Host without one) before a byte of its body is read. Only a whole request that passed is
// handed over to the server's threads; anything else is answered here and closed. So a peer
// that sends a huge head or body, or sends slowly, or nothing at all, costs one descriptor and
// a bounded buffer for a bounded time, never a thread the page needs.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/OsTypes.h"

// Who may be served.
struct ServeRequestRules {
  std::string token;  // required as the query parameter token when not empty
  WORD port = 0;      // where the server listens: a Host without token must name it
};

struct ServeFrontLimits {
  size_t cbRequestLine = 8u << 10;  // method, target and version
  size_t cbHead = 16u << 10;        // request line and header fields, with the empty line
  size_t cbBody = 16u << 10;        // with Content-Length; a chunked body is refused
  DWORD requestMs = 10000;          // from the connection to the request's last byte
  size_t maxWaiting = 128;          // connections still sending; the oldest goes first
  DWORD answerMs = 2000;            // a refused peer's time to read the answer
};

// What the front makes of a complete request head (up to and including its empty line).
struct ServeVerdict {
  int status = 0;     // 0: hand it over; else the HTTP status to answer with
  std::string text;   // the reason, sent as a text/plain body
  size_t cbBody = 0;  // bytes of body after the head, when it passed
};
ServeVerdict JudgeServeRequest(const std::string& head, const ServeRequestRules& rules,
                               const ServeFrontLimits& limits);

// Takes a connection whose whole request passed (request: exactly its head and body) and owns
// fd from then on; false, without taking fd, when the server has no room for it.
typedef std::function<bool(int fd, std::string request)> ServeHandover;

// Thread-safe: Start and Stop from one thread; the handover runs on the front's thread and
// must not wait.
class CServeFront {
 public:
  CServeFront(const ServeRequestRules& rules, const ServeFrontLimits& limits,
              ServeHandover handover);
  // Stop().
  ~CServeFront();
  CServeFront(const CServeFront&) = delete;
  CServeFront& operator=(const CServeFront&) = delete;

  // Serves the listening socket listenFd (not owned; made non-blocking) until Stop. False when
  // the front's thread could not be made ready.
  bool Start(int listenFd);
  // Closes every connection still waiting and ends the thread; later calls do nothing.
  void Stop();

 private:
  typedef std::chrono::steady_clock Clock;
  struct Waiting;

  void Run();
  void Accept(std::vector<Waiting>& waiting);
  // Reads what fd has; false when the connection is finished with (closed or handed over).
  bool Read(Waiting& w);
  void Refuse(Waiting& w, int status, const std::string& text);

  const ServeRequestRules m_rules;
  const ServeFrontLimits m_limits;
  const ServeHandover m_handover;
  int m_listenFd = -1;
  int m_wake[2] = {-1, -1};         // a byte on it ends Run
  Clock::time_point m_acceptAgain;  // out of descriptors: accepting waits until then
  std::thread m_thread;
  std::mutex m_mutex;  // Start and Stop
};
