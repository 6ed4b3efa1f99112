#include "serve/ServeFront.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "support/SocketOs.h"

namespace {

constexpr size_t kReadStep = 16u << 10;
// A refused peer may go on sending while it reads the answer: that much is read and dropped.
constexpr size_t kDrainBytes = 1u << 20;
// Out of descriptors with no waiting connection to give up: accepting rests this long.
constexpr auto kAcceptRest = std::chrono::milliseconds(100);
// Accepted in one turn at most, so that a flood of connections cannot starve the reads.
constexpr int kAcceptsPerTurn = 64;

const char* Reason(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

ServeVerdict Refused(int status, const std::string& text) {
  ServeVerdict v;
  v.status = status;
  v.text = text;
  return v;
}

// Takes as long for every wrong token of a length.
bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool SameNoCase(const std::string& a, const char* b) {
  const size_t n = strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// A character of a method or a header field name.
bool IsNameChar(char c) {
  return isalnum(static_cast<unsigned char>(c)) || (c != 0 && strchr("!#$%&'*+-.^_`|~", c));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A part of a query as a form encodes it: %XX for a byte, + for a space.
std::string DecodeQueryPart(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const int hi = s[i] == '%' && i + 2 < s.size() ? HexValue(s[i + 1]) : -1;
    const int lo = hi >= 0 ? HexValue(s[i + 2]) : -1;
    if (lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

// The first value of the query parameter name in a request target; false when it has none.
bool QueryValue(const std::string& target, const char* name, std::string* value) {
  const size_t q = target.find('?');
  if (q == std::string::npos) return false;
  const std::string query = target.substr(q + 1, target.find('#', q) - q - 1);
  for (size_t at = 0; at <= query.size();) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string part = query.substr(at, end - at);
    const size_t eq = part.find('=');
    if (DecodeQueryPart(part.substr(0, eq)) == name) {
      *value = eq == std::string::npos ? "" : DecodeQueryPart(part.substr(eq + 1));
      return true;
    }
    at = end + 1;
  }
  return false;
}

std::string TrimSpace(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

}  // namespace

ServeVerdict JudgeServeRequest(const std::string& head, const ServeRequestRules& rules,
                               const ServeFrontLimits& limits) {
  const size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string::npos) return Refused(400, "no request line\n");
  if (lineEnd > limits.cbRequestLine) return Refused(414, "the request line is too long\n");
  const std::string line = head.substr(0, lineEnd);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = line.rfind(' ');
  if (sp1 == std::string::npos || sp1 == 0 || sp2 == sp1 + 1 || sp2 == sp1)
    return Refused(400, "the request line is not METHOD TARGET VERSION\n");
  const std::string method = line.substr(0, sp1);
  const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string version = line.substr(sp2 + 1);
  if (!std::all_of(method.begin(), method.end(), IsNameChar) ||
      target.find(' ') != std::string::npos || (version != "HTTP/1.1" && version != "HTTP/1.0"))
    return Refused(400, "the request line is not METHOD TARGET VERSION\n");

  std::string host, nmxView;
  bool haveHost = false, haveLength = false, chunked = false, tooLarge = false;
  size_t cbBody = 0;
  for (size_t at = lineEnd + 2;;) {
    const size_t end = head.find("\r\n", at);
    if (end == std::string::npos) return Refused(400, "the head does not end\n");
    if (end == at) break;
    const std::string field = head.substr(at, end - at);
    at = end + 2;
    const size_t colon = field.find(':');
    if (colon == 0 || colon == std::string::npos ||
        !std::all_of(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(colon), IsNameChar))
      return Refused(400, "a header field is not NAME: VALUE\n");
    const std::string name = field.substr(0, colon);
    const std::string value = TrimSpace(field.substr(colon + 1));
    if (SameNoCase(name, "Host")) {
      if (haveHost) return Refused(400, "more than one Host\n");
      haveHost = true;
      host = value;
    } else if (SameNoCase(name, "Content-Length")) {
      if (haveLength) return Refused(400, "more than one Content-Length\n");
      haveLength = true;
      if (value.empty() ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return Refused(400, "Content-Length is not a number\n");
      for (char c : value) {
        cbBody = cbBody * 10 + static_cast<size_t>(c - '0');
        if (cbBody > limits.cbBody) {
          tooLarge = true;
          break;
        }
      }
    } else if (SameNoCase(name, "Transfer-Encoding")) {
      chunked = true;
    } else if (SameNoCase(name, "X-Nmx-View")) {
      nmxView = value;
    }
  }

  if (!rules.token.empty()) {
    std::string token;
    if (!QueryValue(target, "token", &token) || !SameToken(token, rules.token))
      return Refused(401, "a token is required: open the address nmx-view serve printed\n");
  } else {
    // Without a token only this machine's browser may talk to the server, under a loopback
    // name: a page elsewhere that renames itself to 127.0.0.1 must not reach it.
    const std::string port = ":" + std::to_string(rules.port);
    bool local = false;
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
      local = local || host == name + port || (rules.port == 80 && host == name);
    if (!local) return Refused(403, "only a loopback host name is served without a token\n");
  }
  // Actions need a header a form on another site cannot send without asking first.
  if (method == "POST" && nmxView != "1") return Refused(403, "actions come from the page\n");
  if (chunked) return Refused(411, "a body needs a Content-Length\n");
  if (tooLarge)
    return Refused(413, "a body of " + std::to_string(limits.cbBody) + " bytes at most\n");
  ServeVerdict v;
  v.cbBody = cbBody;
  return v;
}

struct CServeFront::Waiting {
  int fd = -1;
  Clock::time_point deadline;
  std::string bytes;
  size_t cbScanned = 0;   // bytes searched for the head's end already
  size_t cbRequest = 0;   // head and body, once the head passed
  bool bRefused = false;  // answered: what still comes is dropped until the deadline
  size_t cbDropped = 0;
  // Dropped enough: no longer read, so that the peer's sending stalls and it reads the
  // answer; closing with its bytes unread would reset the connection and lose the answer.
  bool bDrained = false;
};

CServeFront::CServeFront(const ServeRequestRules& rules, const ServeFrontLimits& limits,
                         ServeHandover handover)
    : m_rules(rules), m_limits(limits), m_handover(std::move(handover)) {}

CServeFront::~CServeFront() {
  Stop();
}

bool CServeFront::Start(int listenFd) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_thread.joinable() || pipe(m_wake) != 0) return false;
  for (int fd : m_wake) fcntl(fd, F_SETFD, FD_CLOEXEC);
  VxFunctions::SocketSetNonBlocking(m_wake[1], true);
  if (!VxFunctions::SocketSetNonBlocking(listenFd, true)) return false;
  // A longer queue of connections not yet accepted than the server opened the socket with: a
  // burst waits there for the next turn instead of being refused.
  listen(listenFd, SOMAXCONN);
  m_listenFd = listenFd;
  m_thread = std::thread([this] { Run(); });
  return true;
}

void CServeFront::Stop() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_thread.joinable()) {
    const char b = 0;
    while (write(m_wake[1], &b, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
  }
  for (int& fd : m_wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void CServeFront::Run() {
  std::vector<Waiting> waiting, kept;
  std::vector<pollfd> fds;
  for (;;) {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < waiting.size();) {
      Waiting& w = waiting[i];
      if (now < w.deadline) {
        ++i;
      } else if (!w.bRefused) {
        Refuse(w, 408, "the request took too long\n");
      } else {
        close(w.fd);
        waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    const bool accepting = now >= m_acceptAgain;
    Clock::time_point wakeAt = now + std::chrono::seconds(60);
    if (!accepting) wakeAt = m_acceptAgain;
    fds.clear();
    fds.push_back(pollfd{m_wake[0], POLLIN, 0});
    fds.push_back(pollfd{accepting ? m_listenFd : -1, POLLIN, 0});
    for (const Waiting& w : waiting) {
      fds.push_back(pollfd{w.bDrained ? -1 : w.fd, POLLIN, 0});
      wakeAt = std::min(wakeAt, w.deadline);
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count();
    const int n = poll(fds.data(), static_cast<nfds_t>(fds.size()),
                       static_cast<int>(std::max<decltype(wait)>(wait, 0)));
    if (n < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(kAcceptRest);
      continue;
    }
    if (fds[0].revents) break;
    kept.clear();
    for (size_t i = 0; i < waiting.size(); ++i)
      if (!fds[i + 2].revents || Read(waiting[i])) kept.push_back(std::move(waiting[i]));
    waiting.swap(kept);
    if (fds[1].revents) Accept(waiting);
  }
  for (const Waiting& w : waiting) close(w.fd);
}

void CServeFront::Accept(std::vector<Waiting>& waiting) {
  for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
    const int fd = accept(m_listenFd, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the longest waiting connection makes room, else accepting rests.
        if (!waiting.empty()) {
          close(waiting.front().fd);
          waiting.erase(waiting.begin());
          continue;
        }
        m_acceptAgain = Clock::now() + kAcceptRest;
      }
      return;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (!VxFunctions::SocketSetNonBlocking(fd, true) || !VxFunctions::SocketSetNoSigPipe(fd)) {
      close(fd);
      continue;
    }
    if (waiting.size() >= m_limits.maxWaiting) {
      close(waiting.front().fd);
      waiting.erase(waiting.begin());
    }
    Waiting w;
    w.fd = fd;
    w.deadline = Clock::now() + std::chrono::milliseconds(m_limits.requestMs);
    waiting.push_back(std::move(w));
  }
}

bool CServeFront::Read(Waiting& w) {
  char buf[kReadStep];
  const size_t limit = w.bRefused ? sizeof buf : w.cbRequest ? w.cbRequest : m_limits.cbHead;
  const ssize_t n =
      recv(w.fd, buf, std::min(sizeof buf, limit - (w.bRefused ? 0 : w.bytes.size())), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (n <= 0) {
    close(w.fd);
    return false;
  }
  if (w.bRefused) {
    w.cbDropped += static_cast<size_t>(n);
    w.bDrained = w.cbDropped > kDrainBytes;
    return true;
  }
  w.bytes.append(buf, static_cast<size_t>(n));

  if (!w.cbRequest) {
    const size_t end = w.bytes.find("\r\n\r\n", w.cbScanned > 3 ? w.cbScanned - 3 : 0);
    w.cbScanned = w.bytes.size();
    if (end == std::string::npos) {
      if (w.bytes.size() > m_limits.cbRequestLine + 2 &&
          w.bytes.find("\r\n") > m_limits.cbRequestLine)
        Refuse(w, 414, "the request line is too long\n");
      else if (w.bytes.size() >= m_limits.cbHead)
        Refuse(w, 431, "the head is too large\n");
      return true;
    }
    const ServeVerdict v = JudgeServeRequest(w.bytes.substr(0, end + 4), m_rules, m_limits);
    if (v.status) {
      Refuse(w, v.status, v.text);
      return true;
    }
    w.cbRequest = end + 4 + v.cbBody;
  }
  if (w.bytes.size() < w.cbRequest) return true;
  // What a client sends after its request is not read: every connection carries one.
  w.bytes.resize(w.cbRequest);
  if (m_handover(w.fd, std::move(w.bytes))) return false;
  Refuse(w, 503, "the server is busy: try again\n");
  return true;
}

void CServeFront::Refuse(Waiting& w, int status, const std::string& text) {
  const std::string answer =
      "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
      "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
      "\r\nConnection: close\r\nCache-Control: no-store\r\n"
      "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
      "Referrer-Policy: no-referrer\r\n\r\n" +
      text;
  // A short answer fits the socket's buffer; a peer that does not read it loses it.
  send(w.fd, answer.data(), answer.size(),
       VxFunctions::SocketNoSigPipeSendFlags() | VxFunctions::SocketDontWaitSendFlags());
  shutdown(w.fd, SHUT_WR);
  w.bRefused = true;
  std::string().swap(w.bytes);
  w.deadline = Clock::now() + std::chrono::milliseconds(m_limits.answerMs);
}
