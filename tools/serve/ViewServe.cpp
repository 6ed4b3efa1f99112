// nmx-view serve: the browser page, its event stream and its actions over HTTP.
#include "serve/ViewServe.h"

#include <fcntl.h>
#include <httplib.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "frames/PcapngExport.h"
#include "os/OsNumber.h"
#include "serve/ServeAssets.h"
#include "serve/ServeFront.h"
#include "serve/ServeHub.h"
#include "serve/ServeSocketStream.h"
#include "viewclient/ViewCommands.h"
#include "viewclient/ViewProcess.h"

namespace {

// Pages' event streams, which hold a thread each while their page is open, plus threads for
// everything else a page asks: requests, downloads and a browser's parallel fetches.
constexpr size_t kServerThreads = CServeHub::kMaxStreams + 8;
// Requests that passed the front and wait for a thread; beyond them the front answers 503.
constexpr size_t kMaxQueued = 32;
constexpr DWORD kStreamWaitMs = 1000;
// A reader that takes nothing of an answer for this long is gone (a page busy for a moment
// reads on later).
constexpr DWORD kStallMs = 30000;

std::string RandomToken() {
  BYTE b[16] = {};
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  ssize_t got = fd >= 0 ? read(fd, b, sizeof b) : -1;
  if (fd >= 0) close(fd);
  if (got != static_cast<ssize_t>(sizeof b)) return "";
  static const char kDigits[] = "0123456789abcdef";
  std::string t;
  for (BYTE c : b) {
    t += kDigits[c >> 4];
    t += kDigits[c & 15];
  }
  return t;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// At most 20 digits, leading zeros included.
bool ParseCount(const std::string& text, uint64_t max, uint64_t* v) {
  return text.size() <= 20 && OsParseUnsigned(text, max, v);
}

int HttpStatusOf(int exitStatus) {
  switch (exitStatus) {
    case kViewExitOk:
      return 200;
    case kViewExitUsage:
      return 400;
    case kViewExitConnection:
      return 503;
    default:
      return 409;
  }
}

void Reply(httplib::Response& res, const CServeHub::Outcome& o) {
  res.status = HttpStatusOf(o.status);
  res.set_content(ServeOutcomeJson(o.status == kViewExitOk, o.error), "application/json");
}

// cpp-httplib's server as the front hands it requests: its routing and answers, one request
// per connection, on the socket it bound.
class CHttpServer : public httplib::Server {
 public:
  void Serve(httplib::Stream& stream) {
    bool closed = false;
    process_request(stream, true, closed, [](httplib::Request&) {});
  }
  int ListenSocket() const { return svr_sock_; }
  // Answers being written end as the socket goes.
  void CloseListenSocket() {
    const socket_t fd = svr_sock_.exchange(INVALID_SOCKET);
    if (fd != INVALID_SOCKET) close(fd);
  }
};

class CPageServer {
 public:
  CPageServer(const ViewOptions& opt, const ServeOptions& serve)
      : m_serve(serve), m_hub(opt, serve.bMetrics) {}
  ~CPageServer() { RemoveFolder(); }

  int Run(std::ostream& out, std::ostream& err);

 private:
  void Routes();
  bool Handover(int fd, std::string request);
  void Handle(int fd, const std::string& request);
  void EndConnections();
  void Events(httplib::Response& res);
  void Download(httplib::Response& res, bool pcapng);
  void ServeFile(httplib::Response& res, const std::string& path, const std::string& name,
                 const char* type);
  std::string TempPath(const char* suffix);
  void RemoveFolder();

  ServeOptions m_serve;
  CServeHub m_hub;
  CHttpServer m_server;
  std::unique_ptr<httplib::ThreadPool> m_pool;
  std::atomic<size_t> m_nBusy{0};  // handed over, waiting or answered
  std::mutex m_mutex;
  std::set<int> m_connections;  // being answered
  WORD m_nPort = 0;
  std::string m_folder;  // for downloads on their way
  std::atomic<unsigned> m_nTemp{0};
};

void CPageServer::Routes() {
  // Who may ask was settled by the front (JudgeServeRequest) before the request was read.
  m_server.set_pre_routing_handler([](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    // The token may be in the address; it is not handed on.
    res.set_header("Referrer-Policy", "no-referrer");
    return httplib::Server::HandlerResponse::Unhandled;
  });
  m_server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kServePageHtml, "text/html; charset=utf-8");
  });
  m_server.Get("/page.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kServePageJs, "text/javascript; charset=utf-8");
  });
  m_server.Get("/page.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kServePageCss, "text/css; charset=utf-8");
  });
  m_server.Get("/events", [this](const httplib::Request&, httplib::Response& res) { Events(res); });
  m_server.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(m_hub.StateJson(), "application/json");
  });
  m_server.Post("/api/start", [this](const httplib::Request&, httplib::Response& res) {
    Reply(res, m_hub.Act([](CViewSession& s) { return ViewStart(s, ""); }, true));
  });
  m_server.Post("/api/stop", [this](const httplib::Request&, httplib::Response& res) {
    Reply(res, m_hub.Act([](CViewSession& s) { return ViewStop(s); }));
  });
  // what=ring|single|filesize|buffersize|savename|autosave, value as nmx-view set takes it.
  m_server.Post("/api/set", [this](const httplib::Request& req, httplib::Response& res) {
    std::vector<std::string> args = {req.get_param_value("what")};
    if (args[0] != "ring" && args[0] != "single") args.push_back(req.get_param_value("value"));
    Reply(res, m_hub.Act([args](CViewSession& s) { return ViewSet(s, args); }));
  });
  // what=WHAT (empty: disarm), after=N or afterTime=MS, as follow --trigger takes them.
  m_server.Post("/api/trigger", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string what = req.get_param_value("what");
    if (what.empty()) {
      m_hub.DisarmTrigger();
      return Reply(res, CServeHub::Outcome{});
    }
    TriggerSpec spec;
    TriggerStop stop;
    std::string why;
    if (!ParseTriggerSpec(what, &spec, &why))
      return Reply(res, CServeHub::Outcome{kViewExitUsage, "", why});
    const std::string after = req.get_param_value("after");
    const std::string afterTime = req.get_param_value("afterTime");
    if (!after.empty() && !afterTime.empty())
      return Reply(res, CServeHub::Outcome{kViewExitUsage, "", "after or afterTime, not both"});
    stop.bByTime = !afterTime.empty();
    const std::string& count = stop.bByTime ? afterTime : after;
    uint64_t n = 0;
    if (!count.empty() && !ParseCount(count, stop.bByTime ? 86400000 : UINT64_MAX, &n))
      return Reply(res, CServeHub::Outcome{kViewExitUsage, "",
                                           stop.bByTime ? "afterTime takes milliseconds"
                                                        : "after takes a frame count"});
    if (stop.bByTime)
      stop.nMs = static_cast<DWORD>(n);
    else
      stop.nFrames = n;
    m_hub.ArmTrigger(what, spec, stop);
    Reply(res, CServeHub::Outcome{});
  });
  // Prometheus' text format; the token rules are those of every other request.
  m_server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(m_hub.MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
  });
  m_server.Get("/download/capture.cap",
               [this](const httplib::Request&, httplib::Response& res) { Download(res, false); });
  m_server.Get("/download/capture.pcapng",
               [this](const httplib::Request&, httplib::Response& res) { Download(res, true); });
}

void CPageServer::Events(httplib::Response& res) {
  std::shared_ptr<CServeStream> stream = m_hub.Open();
  if (!stream) {
    res.status = 503;
    res.set_content("too many pages are open\n", "text/plain");
    return;
  }
  CServeHub* hub = &m_hub;
  res.set_chunked_content_provider(
      "text/event-stream",
      [stream](size_t, httplib::DataSink& sink) {
        std::string events;
        if (!stream->Take(&events, kStreamWaitMs)) {
          sink.done();
          return true;
        }
        // A comment keeps the connection busy, so a page that has gone is noticed.
        if (events.empty()) events = ":\n\n";
        return sink.write(events.data(), events.size());
      },
      [hub, stream](bool) { hub->Close(stream); });
}

bool CPageServer::Handover(int fd, std::string request) {
  if (m_nBusy.load() >= kServerThreads + kMaxQueued) return false;
  ++m_nBusy;
  m_pool->enqueue([this, fd, request] {
    Handle(fd, request);
    --m_nBusy;
  });
  return true;
}

void CPageServer::Handle(int fd, const std::string& request) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_connections.insert(fd);
  }
  CServeSocketStream stream(fd, request, kStallMs);
  m_server.Serve(stream);
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_connections.erase(fd);
  }
  close(fd);
}

void CPageServer::EndConnections() {
  std::lock_guard<std::mutex> guard(m_mutex);
  for (int fd : m_connections) shutdown(fd, SHUT_RDWR);
}

std::string CPageServer::TempPath(const char* suffix) {
  return m_folder + "/" + std::to_string(++m_nTemp) + suffix;
}

void CPageServer::Download(httplib::Response& res, bool pcapng) {
  const std::string cap = TempPath(".cap");
  auto name = std::make_shared<std::string>();
  CServeHub::Outcome o = m_hub.Act([cap, name](CViewSession& s) {
    CaptureStatus st;
    int status = kViewExitOk;
    if (!ReadCaptureStatus(s, &st, &status)) return status;
    if (st.captureFile.empty()) return s.Fail("there is no capture file yet", kViewExitFailed);
    *name = BaseName(st.captureFile);
    return ViewGet(s, *name, cap);
  });
  if (o.status != kViewExitOk) {
    unlink(cap.c_str());
    return Reply(res, o);
  }
  if (!pcapng) return ServeFile(res, cap, *name, "application/octet-stream");

  const std::string exported = TempPath(".pcapng");
  std::ostringstream out, err;
  // Worded as nmx-cap export words it, which the page has always shown.
  const PcapngExportResult r = ExportPcapng(cap, exported, out, err, "nmx-cap");
  unlink(cap.c_str());
  if (r.status != PcapngExportResult::Status::kDone) {
    unlink(exported.c_str());
    std::string why = err.str();
    while (!why.empty() && why.back() == '\n') why.pop_back();
    return Reply(res, CServeHub::Outcome{kViewExitFailed, "", "export: " + why});
  }
  const size_t dot = name->rfind('.');
  ServeFile(res, exported, (dot == std::string::npos ? *name : name->substr(0, dot)) + ".pcapng",
            "application/octet-stream");
}

void CPageServer::ServeFile(httplib::Response& res, const std::string& path,
                            const std::string& name, const char* type) {
  auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
  in->seekg(0, std::ios::end);
  const std::streamoff size = in->tellg();
  in->seekg(0);
  if (!*in || size < 0) {
    unlink(path.c_str());
    return Reply(res, CServeHub::Outcome{kViewExitFailed, "", "cannot read " + path});
  }
  // The plain name for old readers, and the name's bytes (UTF-8, as names on the logger's
  // machine are) for every browser of today.
  std::string safe, encoded;
  static const char kHex[] = "0123456789ABCDEF";
  for (const char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    safe += (c == '"' || c == '\\' || c < 0x20 || c >= 0x7F) ? '_' : ch;
    if (isalnum(c) || c == '.' || c == '-' || c == '_' || c == '~') {
      encoded += ch;
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  res.set_header("Content-Disposition",
                 "attachment; filename=\"" + safe + "\"; filename*=UTF-8''" + encoded);
  res.set_content_provider(
      static_cast<size_t>(size), type,
      [in](size_t offset, size_t length, httplib::DataSink& sink) {
        char buf[65536];
        in->seekg(static_cast<std::streamoff>(offset));
        const std::streamsize n =
            static_cast<std::streamsize>(length < sizeof buf ? length : sizeof buf);
        in->read(buf, n);
        return in->gcount() == n && sink.write(buf, static_cast<size_t>(n));
      },
      [path](bool) { unlink(path.c_str()); });
}

void CPageServer::RemoveFolder() {
  if (!m_folder.empty()) rmdir(m_folder.c_str());
}

int CPageServer::Run(std::ostream& out, std::ostream& err) {
  const char* tmp = getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/nmx-view-serve.XXXXXX";
  if (!mkdtemp(folder.data())) {
    err << "nmx-view: serve: cannot make a folder for downloads in " << folder << "\n";
    return kViewExitFailed;
  }
  m_folder = folder;
  if (m_serve.token.empty() && !IsLoopbackHost(m_serve.host)) {
    m_serve.token = RandomToken();
    if (m_serve.token.empty()) {
      err << "nmx-view: serve: cannot make a token (/dev/urandom); give one with --token\n";
      return kViewExitFailed;
    }
  }
  // cpp-httplib reads no request itself: the front reads each within its bounds and checks
  // it first; these limits only back that up.
  m_server.set_payload_max_length(ServeFrontLimits().cbBody);
  Routes();
  bool bound = false;
  if (m_serve.port == 0) {
    const int port = m_server.bind_to_any_port(m_serve.host);
    bound = port > 0;
    m_nPort = static_cast<WORD>(port);
  } else {
    bound = m_server.bind_to_port(m_serve.host, m_serve.port);
    m_nPort = m_serve.port;
  }
  if (!bound) {
    err << "nmx-view: serve: cannot listen on " << m_serve.host << ":" << m_serve.port << "\n";
    return kViewExitFailed;
  }
  ServeRequestRules rules;
  rules.token = m_serve.token;
  rules.port = m_nPort;
  m_pool = std::make_unique<httplib::ThreadPool>(kServerThreads);
  CServeFront front(rules, ServeFrontLimits(), [this](int fd, std::string request) {
    return Handover(fd, std::move(request));
  });
  if (!front.Start(m_server.ListenSocket())) {
    err << "nmx-view: serve: cannot take connections\n";
    m_pool->shutdown();
    m_server.CloseListenSocket();
    return kViewExitFailed;
  }
  const std::string host =
      m_serve.host.find(':') != std::string::npos ? "[" + m_serve.host + "]" : m_serve.host;
  out << "serving the page at http://" << host << ":" << m_nPort << "/"
      << (m_serve.token.empty() ? "" : "?token=" + m_serve.token) << " (Ctrl-C ends)\n";
  out.flush();

  while (!ViewStopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The streams end first, then the connections still being answered, so the server's
  // threads are free to stop.
  m_hub.Shutdown();
  front.Stop();
  m_server.CloseListenSocket();
  EndConnections();
  m_pool->shutdown();
  return kViewExitOk;
}

}  // namespace

int ViewServe(const ViewOptions& opt, const ServeOptions& serve, std::ostream& out,
              std::ostream& err) {
  CPageServer server(opt, serve);
  return server.Run(out, err);
}
