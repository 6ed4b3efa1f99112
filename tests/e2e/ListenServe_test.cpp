// nmx-view serve as a user meets it: its page in headless Chromium against VxNmxLogger -l fed
// by nmx-traffic through nmx-router, and its HTTP side (the token, the logger held by another
// viewer, the logger let go when no page is open) with a plain socket; and as anyone who can
// reach it may use it: huge, slow and silent requests, and a page that stops reading.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"
#include "e2e/ListenFixture.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"

namespace {

using vxtest::ChildProcess;

// Debian's selenium lives with Debian's interpreter, whatever python3 comes first on PATH.
std::string Python() {
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

int ConnectLoopback(unsigned short port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A process's peak resident memory in MiB; -1 where the system does not tell.
long PeakResidentMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10) >> 10;
  return -1;
}

// GET path from 127.0.0.1:port; returns what arrived (status line, headers, body) until the
// server closed, until is seen, or the deadline passed.
std::string HttpGet(unsigned short port, const std::string& path, const std::string& until = "",
                    std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string got;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) {
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nConnection: close\r\n\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
      const auto end = std::chrono::steady_clock::now() + deadline;
      char buf[4096];
      while (until.empty() || got.find(until) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  return got;
}

// POST path with a form body, as the page sends its actions; returns the whole answer.
std::string HttpPost(unsigned short port, const std::string& path, const std::string& form) {
  const int fd = ConnectLoopback(port);
  std::string got;
  if (fd < 0) return got;
  const std::string req = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nX-Nmx-View: 1\r\nContent-Type: application/x-www-form-urlencoded"
                          "\r\nContent-Length: " +
                          std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n" + form;
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 30000) > 0) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return got;
}

// The number after needle in text; -1 when needle is not there.
long long NumberAfter(const std::string& text, const std::string& needle) {
  const size_t at = text.find(needle);
  return at == std::string::npos ? -1 : std::stoll(text.substr(at + needle.size()));
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!text.empty() && text.back() == sep) parts.push_back("");
  return parts;
}

class ListenServe : public e2etest::ListenLogger {
 protected:
  // nmx-view serve on a free port, with env added to its environment; *url receives the
  // address it printed.
  std::unique_ptr<ChildProcess> Serve(std::vector<std::string> args, std::string* url,
                                      std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {NMX_VIEW_PATH, "--port", std::to_string(m_port), "serve"};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const std::string& e : m_router.Environment()) env.push_back(e);
    auto p = std::make_unique<ChildProcess>(m_dir.path(), argv, ChildProcess::Input::kDevNull, env);
    if (!p->WaitOutput(" (Ctrl-C ends)\n")) return p;
    const std::string out = p->Output();
    const size_t at = out.find("http://");
    *url = out.substr(at, out.find(' ', at) - at);
    return p;
  }
  // serve on any address with the token s3cret; *port receives its port (0 if it failed).
  std::unique_ptr<ChildProcess> ServeWithToken(unsigned short* port) {
    std::string url;
    auto serve = Serve({"--listen", "0.0.0.0:0", "--token", "s3cret"}, &url);
    *port = url.empty() ? 0 : PortOf(url.substr(0, url.find("/?")));
    return serve;
  }
  static unsigned short PortOf(const std::string& url) {
    const size_t colon = url.rfind(':');
    return static_cast<unsigned short>(std::stoi(url.substr(colon + 1)));
  }
};

TEST_F(ListenServe, ThePageStartsTheCaptureShowsItsFramesLiveAsDumpDoesAndDownloadsIt) {
  std::string why;
  if (ChildProcess::Run(m_dir.path(), {Python(), SERVE_PAGE_DRIVER, "--check"}, &why) != 0)
    GTEST_SKIP() << "no headless Chromium to drive: " << why;
  constexpr int kOps = 20;
  constexpr int kFrames = 2 * kOps;

  std::string url;
  auto serve = Serve({"--listen", "127.0.0.1:0"}, &url);
  ASSERT_FALSE(url.empty()) << serve->Output() << serve->Errors();
  const std::string downloads = m_dir / "downloads";
  ASSERT_EQ(0, mkdir(downloads.c_str(), 0755));
  std::string seen;
  const int status = ChildProcess::Run(
      m_dir.path(),
      {Python(), SERVE_PAGE_DRIVER, url, downloads, std::to_string(kFrames), "--", NMX_TRAFFIC_PATH,
       "--socket", m_router.Socket(), "--count", std::to_string(kOps), "--mix",
       "read,write,readwrite", "--size", "100", "--errors", "25"},
      &seen, std::chrono::minutes(2));
  ASSERT_EQ(0, status) << seen;

  std::map<std::string, std::string> values;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> filtered, stats;
  std::map<std::string, double> metrics;
  for (const std::string& line : Split(seen, '\n')) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string key = line.substr(0, tab);
    if (key == "row") {
      rows.push_back(Split(line.substr(tab + 1), '\t'));
    } else if (key == "filtered") {
      filtered.push_back(line.substr(tab + 1));
    } else if (key == "stats") {
      stats.push_back(line.substr(tab + 1));
    } else if (key == "metrics") {
      // "NAME LABELS VALUE", as Prometheus' parser read them.
      const std::string sample = line.substr(tab + 1);
      const size_t last = sample.rfind(' ');
      metrics[sample.substr(0, last)] = std::stod(sample.substr(last + 1));
    } else {
      values[key] = line.substr(tab + 1);
    }
  }
  ASSERT_EQ("", values["error"]) << seen;
  EXPECT_EQ("stopped", values["stateBefore"]);
  EXPECT_NE(std::string::npos, values["downloadBefore"].find("disabled"))
      << values["downloadBefore"];
  EXPECT_EQ("[]", values["browserErrors"]) << "a resource the page could not load (a favicon?)";
  EXPECT_EQ("single", values["fileMode"]);
  EXPECT_EQ("run.cap", values["saveName"]);
  EXPECT_EQ("True", values["stillCapturing"]) << "the frames appeared only after the stop";
  EXPECT_EQ("stopped", values["stateStopped"]);
  EXPECT_TRUE(m_logger->WaitOutput("Capturing has started.\n"));
  EXPECT_TRUE(m_logger->WaitOutput("Capturing has stopped.\n"));

  std::string dump;
  ASSERT_EQ(0, ChildProcess::Run(m_dir.path(), {NMX_CAP_PATH, "dump", Boot() + "run.cap"}, &dump));
  std::vector<std::string> lines = Split(dump, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  // dump ends an answer's line with its response time, which the page's rows leave out.
  for (std::string& l : lines) l = l.substr(0, l.rfind(" rt="));
  ASSERT_EQ(static_cast<size_t>(kFrames), lines.size()) << dump;
  ASSERT_EQ(lines.size(), rows.size()) << seen;
  size_t failures = 0;
  std::map<std::string, std::string> answerTimes;  // by invoke id
  for (size_t i = 0; i < rows.size(); ++i) {
    // title, UTC time, the row's classes, then the cells: n, local time, sender, target,
    // command, dir, invoke, error, length, response time, KRP fields.
    const std::vector<std::string>& r = rows[i];
    ASSERT_EQ(14u, r.size()) << seen;
    EXPECT_EQ(lines[i], r[0]);
    const std::string utc = r[1].substr(0, r[1].size() - 4);
    EXPECT_EQ(r[3] + " " + utc + " " + r[5] + " -> " + r[6] + " " + r[7] + " " + r[8],
              lines[i].substr(0, lines[i].find(" flags=")));
    EXPECT_NE(std::string::npos,
              lines[i].find(" invoke=" + r[9] + " err=" + r[10] + " len=" + r[11] + " " + r[13]))
        << lines[i];
    // A failure's row is marked; every request shows the time its answer took, as the answer
    // does.
    const bool failed = lines[i].find(" result=0x") != std::string::npos &&
                        lines[i].find(" result=0x0") == std::string::npos;
    failures += failed;
    EXPECT_EQ(failed, r[2].find("err") != std::string::npos) << lines[i] << " [" << r[2] << "]";
    EXPECT_TRUE(r[12].size() > 3 && (r[12].substr(r[12].size() - 3) == " ms" ||
                                     r[12].substr(r[12].size() - 4) == " \xC2\xB5s"))
        << r[12];
    if (answerTimes.count(r[9]))
      EXPECT_EQ(answerTimes[r[9]], r[12]) << lines[i];
    else
      answerTimes[r[9]] = r[12];
  }
  EXPECT_GT(failures, 0u) << "25 % of the requests fail";
  EXPECT_NE(std::string::npos, values["columns"].find("'Resp. time'")) << values["columns"];

  // The plot drew the seconds serve counted.
  EXPECT_GE(std::stoi(values["plotPoints"]), 2);
  EXPECT_GT(std::stoi(values["plotInk"]), 0);
  EXPECT_GT(std::stoi(values["histograms"]), 0);
  // The table of the kept frames' response times counts each command's requests as the dump
  // shows them: target, command, index group, requests, answered, unanswered, errors, ...
  std::map<std::string, int> requests, counted;
  for (const std::string& l : lines) {
    // N DATE TIME SENDER -> TARGET COMMAND(ID) req|res ...
    const std::vector<std::string> words = Split(l, ' ');
    ASSERT_GT(words.size(), 7u) << l;
    if (words[7] == "req") ++requests[words[6].substr(0, words[6].find('('))];
  }
  for (const std::string& row : stats) {
    const std::vector<std::string> cells = Split(row, '\t');
    ASSERT_EQ(11u, cells.size()) << row;
    counted[cells[1]] += std::stoi(cells[3]);
    EXPECT_EQ(cells[3], cells[4]) << "every request answered: " << row;
    EXPECT_EQ("0", cells[5]) << row;
  }
  EXPECT_EQ(requests, counted);

  // /metrics, as Prometheus reads it, while the capture ran.
  EXPECT_EQ(0u, values["metricsType"].rfind("text/plain; version=0.0.4", 0))
      << values["metricsType"];
  EXPECT_EQ(1, metrics["vxnmxlogger_up "]);
  EXPECT_EQ(1, metrics["vxnmxlogger_capturing "]);
  EXPECT_EQ(kFrames, metrics["vxnmxlogger_frames_total "]);
  EXPECT_EQ(static_cast<double>(failures), metrics["vxnmxlogger_errors_total "]);
  ASSERT_EQ(1u, metrics.count("vxnmxlogger_frames_dropped_total "));
  EXPECT_EQ(0, metrics["vxnmxlogger_frames_dropped_total "]);
  EXPECT_EQ(0, metrics["vxnmxlogger_follow_gaps_total "]);
  EXPECT_EQ(0, metrics["vxnmxlogger_ring_overflows_total "]);
  EXPECT_GT(metrics["vxnmxlogger_frame_bytes_total "], 0);
  double answered = 0;
  for (const auto& m : metrics)
    if (m.first.rfind("vxnmxlogger_response_time_seconds_count ", 0) == 0) answered += m.second;
  EXPECT_EQ(kOps, answered);
  EXPECT_EQ(metrics["vxnmxlogger_response_time_seconds_count command=Read"],
            metrics["vxnmxlogger_response_time_seconds_bucket command=Read,le=+Inf"]);
  std::vector<std::string> writes;
  for (const std::string& l : lines)
    if (l.find(" Write(3) ") != std::string::npos) writes.push_back(l);
  EXPECT_EQ(writes, filtered);
  EXPECT_EQ(0u, values["hex"].rfind("frame 1, ", 0)) << values["hex"];

  ASSERT_FALSE(values["download"].empty()) << seen;
  EXPECT_EQ(vxtest::ReadFileBytes(Boot() + "run.cap"), vxtest::ReadFileBytes(values["download"]));

  // No page is open any more: the logger is free for another viewer while serve still runs.
  std::string out;
  EXPECT_EQ(0, View({"status"}, &out)) << out;
  serve->Signal(SIGTERM);
  EXPECT_EQ(0, serve->Wait());
}

// A capture file named in UTF-8 downloads under its name.
TEST_F(ListenServe, ACaptureNamedInUtf8DownloadsUnderItsName) {
  ASSERT_EQ(0, View({"set", "savename",
                     "pr\xC3\xBC"
                     "f-\xC3\x9F.cap"}));
  ASSERT_EQ(0, View({"start"}));
  ASSERT_TRUE(m_router.RunTraffic({"--count", "5", "--mix", "read", "--size", "16"}));
  ASSERT_EQ(0, View({"stop"}));
  std::string url;
  auto serve = Serve({"--listen", "127.0.0.1:0"}, &url);
  ASSERT_FALSE(url.empty()) << serve->Output() << serve->Errors();
  const std::string got = HttpGet(PortOf(url), "/download/capture.cap");
  EXPECT_EQ(0u, got.rfind("HTTP/1.1 200 ", 0)) << got.substr(0, 400);
  EXPECT_NE(std::string::npos,
            got.find("Content-Disposition: attachment; filename=\"pr__f-__.cap\"; "
                     "filename*=UTF-8''pr%C3%BCf-%C3%9F.cap\r\n"))
      << got.substr(0, 400);
  serve->Signal(SIGTERM);
  EXPECT_EQ(0, serve->Wait());
}

// The page's trigger, as the page sets it: serve follows the capture for it even with no page
// open, stops the capture after the frames asked for and says where the trigger frame is.
TEST_F(ListenServe, ATriggerSetOnThePageStopsTheCaptureAndSaysWhereItsFrameIs) {
  std::string url;
  auto serve = Serve({"--listen", "127.0.0.1:0"}, &url);
  ASSERT_FALSE(url.empty()) << serve->Output() << serve->Errors();
  const unsigned short port = PortOf(url);
  EXPECT_EQ(0u, HttpPost(port, "/api/trigger", "what=errors&after=1").rfind("HTTP/1.1 400 ", 0));
  const std::string armed = HttpPost(port, "/api/trigger", "what=error%2Cport%3A851&after=20");
  ASSERT_EQ(0u, armed.rfind("HTTP/1.1 200 ", 0)) << armed;
  ASSERT_EQ(0u, HttpPost(port, "/api/start", "").rfind("HTTP/1.1 200 ", 0));
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n")) << m_logger->Output();
  EXPECT_NE(std::string::npos,
            HttpGet(port, "/api/state").find("\"stage\":\"armed\",\"what\":\"error,port:851\""));

  auto traffic = m_router.StartTraffic(
      {"--count", "300", "--mix", "read,write", "--size", "64", "--errors", "10"});
  std::string state;
  ASSERT_TRUE(vxtest::WaitUntil(
      [&] {
        state = HttpGet(port, "/api/state");
        if (state.find("\"stage\":\"stopped\"") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return false;
      },
      std::chrono::seconds(60)))
      << state;
  traffic->Wait(std::chrono::minutes(2));
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has stopped.\n")) << m_logger->Output();
  EXPECT_NE(std::string::npos, state.find("\"found\":true")) << state;
  EXPECT_NE(std::string::npos, state.find("\"why\":\"error\"")) << state;
  // The trigger's own "frames" follow its "index"; the capture's and the rates' come before.
  const std::string trigger = state.substr(std::min(state.find("\"index\":"), state.size()));
  const long long index = NumberAfter(trigger, "\"index\":");
  const long long frames = NumberAfter(trigger, "\"frames\":");

  vxtest::CaptureContents saved;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(Boot() + "run.cap", &saved, &error)) << error;
  ASSERT_EQ(static_cast<size_t>(frames), saved.frames.size());
  ASSERT_GE(index, 0);
  ASSERT_LT(index, frames);
  // The first failure's answer: the first KRP response whose result is not 0.
  for (long long i = 0; i <= index; ++i) {
    const vxtest::CapturedFrame& f = saved.frames[static_cast<size_t>(i)];
    const bool failed = (f.Head().stateFlags & NMX_FLAG_RESPONSE) && f.packet.size() >= 36 &&
                        vx::DecodeLE32(f.Data()) != 0;
    ASSERT_EQ(i == index, failed) << i;
  }
  EXPECT_GE(frames - index - 1, 20);
  serve->Signal(SIGTERM);
  EXPECT_EQ(0, serve->Wait());
}

TEST_F(ListenServe, AnotherViewerHoldingTheLoggerIsShownAndAnyAddressButLoopbackNeedsTheToken) {
  // A follower holds the logger's one viewer place.
  ChildProcess follow(m_dir.path(), {NMX_VIEW_PATH, "--port", std::to_string(m_port), "follow"},
                      ChildProcess::Input::kDevNull, {}, ChildProcess::ErrorStream::kWithOutput);
  ASSERT_TRUE(follow.WaitOutput("following view")) << follow.Output();

  std::string url;
  auto serve = Serve({"--listen", "0.0.0.0:0", "--token", "s3cret"}, &url);
  ASSERT_FALSE(url.empty()) << serve->Output() << serve->Errors();
  EXPECT_EQ(0u, url.rfind("http://0.0.0.0:", 0)) << url;
  EXPECT_NE(std::string::npos, url.find("/?token=s3cret")) << url;
  const unsigned short port = PortOf(url.substr(0, url.find("/?")));

  for (const char* path : {"/", "/events", "/api/state", "/download/capture.cap", "/?token=wrong",
                           "/api/state?token=s3cre"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(0u, HttpGet(port, path).rfind("HTTP/1.1 401 ", 0));
  }
  EXPECT_EQ(0u, HttpGet(port, "/?token=s3cret").rfind("HTTP/1.1 200 ", 0));

  const std::string events = HttpGet(port, "/events?token=s3cret", "\"link\":\"busy\"");
  EXPECT_NE(std::string::npos, events.find("\"message\":\"another viewer holds the logger"))
      << events;

  // Once the follower has gone, the page gets the logger.
  follow.Signal(SIGINT);
  EXPECT_EQ(0, follow.Wait());
  const std::string later = HttpGet(port, "/events?token=s3cret", "\"link\":\"following\"");
  EXPECT_NE(std::string::npos, later.find("\"state\":\"stopped\"")) << later;
  serve->Signal(SIGINT);
  EXPECT_EQ(0, serve->Wait());
}

TEST_F(ListenServe, RequestsBeyondTheBoundsAreRefusedEarlyAndServeStaysSmall) {
  unsigned short port = 0;
  auto serve = ServeWithToken(&port);
  ASSERT_NE(0, port) << serve->Output() << serve->Errors();
  struct Case {
    const char* what;
    std::string start;  // then filler up to the offer, as long as serve takes it
    std::string filler;
    size_t cbOffered;
  };
  std::string chunks;
  for (int i = 0; i < 16; ++i) chunks += "1000\r\n" + std::string(4096, 'c') + "\r\n";
  const Case cases[] = {
      {"a header line of 1 GiB without the token",
       "GET / HTTP/1.1\r\nX-Long: ", std::string(1 << 20, 'a'), 1u << 30},
      {"a request line of 1 GiB", "GET /?token=s3cret&x=", std::string(1 << 20, 'a'), 1u << 30},
      {"a chunked body of 300 MiB with the token",
       "POST /api/set?token=s3cret HTTP/1.1\r\nX-Nmx-View: 1\r\nTransfer-Encoding: chunked\r\n\r\n",
       chunks, 300u << 20},
      {"300 MiB after a refused head", "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
       std::string(1 << 20, 'a'), 300u << 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    size_t sent = 0;
    bool taken = send(fd, c.start.data(), c.start.size(), MSG_NOSIGNAL) > 0;
    while (taken && sent < c.cbOffered) {
      const ssize_t n = send(fd, c.filler.data(), c.filler.size(), MSG_NOSIGNAL);
      taken = n > 0;
      if (taken) sent += static_cast<size_t>(n);
    }
    pollfd p{fd, POLLIN, 0};
    char answer[64] = {};
    if (poll(&p, 1, 5000) > 0) recv(fd, answer, sizeof answer - 1, 0);
    close(fd);
    EXPECT_LT(sent, 64u << 20) << "serve took that much before it refused";
    EXPECT_TRUE(answer[0] == 0 || std::string(answer).rfind("HTTP/1.1 4", 0) == 0) << answer;
  }
  // What it took, whatever the build, is far below what was offered.
  const long peak = PeakResidentMiB(serve->Pid());
  if (peak >= 0) {
    EXPECT_LT(peak, 256) << "peak resident memory in MiB";
  }
  EXPECT_EQ(0u, HttpGet(port, "/?token=s3cret").rfind("HTTP/1.1 200 ", 0));
  serve->Signal(SIGTERM);
  EXPECT_EQ(0, serve->Wait());
}

TEST_F(ListenServe, SilentAndSlowConnectionsDoNotKeepThePageWaiting) {
  unsigned short port = 0;
  auto serve = ServeWithToken(&port);
  ASSERT_NE(0, port) << serve->Output() << serve->Errors();
  std::vector<int> silent, slow;
  for (int i = 0; i < 300; ++i) silent.push_back(ConnectLoopback(port));
  for (int i = 0; i < 16; ++i) slow.push_back(ConnectLoopback(port));
  // The slow ones send a byte of their request line now and then, for as long as it takes.
  std::atomic<bool> trickle{true};
  std::thread trickler([&] {
    while (trickle) {
      for (int fd : slow) send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  EXPECT_EQ(
      0u, HttpGet(port, "/?token=s3cret", "", std::chrono::seconds(30)).rfind("HTTP/1.1 200 ", 0));
  EXPECT_EQ(0u, HttpGet(port, "/api/state?token=s3cret", "", std::chrono::seconds(30))
                    .rfind("HTTP/1.1 200 ", 0));
  trickle = false;
  trickler.join();
  for (int fd : silent) close(fd);
  for (int fd : slow) close(fd);
  serve->Signal(SIGTERM);
  EXPECT_EQ(0, serve->Wait());
}

TEST_F(ListenServe, TheTokenComesFromAFileOrTheEnvironmentOutOfTheProcessList) {
  const std::string file = m_dir / "token";
  const std::string text = "fR0m-f1le\n";
  vxtest::WriteFileBytes(file, std::vector<unsigned char>(text.begin(), text.end()));
  struct Source {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    const char* token;
  };
  const Source sources[] = {
      {"a file", {"--token-file", file}, {}, "fR0m-f1le"},
      {"the environment", {}, {"NMX_VIEW_TOKEN=fr0m-env"}, "fr0m-env"},
      {"the option before the environment",
       {"--token-file", file},
       {"NMX_VIEW_TOKEN=x"},
       "fR0m-f1le"},
  };
  for (const Source& src : sources) {
    SCOPED_TRACE(src.what);
    std::vector<std::string> args = {"--listen", "0.0.0.0:0"};
    args.insert(args.end(), src.args.begin(), src.args.end());
    std::string url;
    auto serve = Serve(args, &url, src.env);
    ASSERT_FALSE(url.empty()) << serve->Output() << serve->Errors();
    EXPECT_NE(std::string::npos, url.find(std::string("/?token=") + src.token)) << url;
    std::ifstream cmdline("/proc/" + std::to_string(serve->Pid()) + "/cmdline");
    const std::string args0((std::istreambuf_iterator<char>(cmdline)), {});
    EXPECT_EQ(std::string::npos, args0.find(src.token)) << "the token is in the process list";
    const unsigned short port = PortOf(url.substr(0, url.find("/?")));
    EXPECT_EQ(0u, HttpGet(port, "/").rfind("HTTP/1.1 401 ", 0));
    EXPECT_EQ(0u, HttpGet(port, std::string("/?token=") + src.token).rfind("HTTP/1.1 200 ", 0));
    serve->Signal(SIGTERM);
    EXPECT_EQ(0, serve->Wait());
  }

  struct Refusal {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string error;
  };
  const Refusal refusals[] = {
      {{"--token", "a", "--token-file", file}, {}, "--token or --token-file, not both"},
      {{"--token-file", m_dir / "none"}, {}, "--token-file " + m_dir / "none" + ": "},
      {{"--token-file", m_dir.path()}, {}, ": not a regular file"},
      {{}, {"NMX_VIEW_TOKEN=a b"}, "NMX_VIEW_TOKEN takes a token of letters"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.error);
    std::string url;
    auto serve = Serve(r.args, &url, r.env);
    EXPECT_EQ(2, serve->Wait());
    EXPECT_NE(std::string::npos, serve->Errors().find(r.error)) << serve->Errors();
  }
}

TEST_F(ListenServe, APageThatStopsReadingForAWhileKeepsItsStreamAndIsToldWhatItLost) {
  std::string url;
  auto serve = Serve({"--listen", "127.0.0.1:0"}, &url);
  ASSERT_FALSE(url.empty()) << serve->Output() << serve->Errors();
  // A ring, so the capture goes on however long the test takes.
  ASSERT_EQ(0, View({"set", "ring"}));
  ASSERT_EQ(0, View({"set", "filesize", "16M"}));
  ASSERT_EQ(0, View({"start"}));
  auto traffic = m_router.StartTraffic({"--count", "0", "--duration", "120", "--rate", "4000",
                                        "--size", "200", "--mix", "read,write"});
  const int fd = ConnectLoopback(PortOf(url));
  ASSERT_GE(fd, 0);
  const std::string req =
      "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(PortOf(url)) + "\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(req.size()), send(fd, req.data(), req.size(), MSG_NOSIGNAL));
  // Reads until what has come holds needle after from, the stream ends or the deadline passes.
  std::string got;
  bool open = true;
  auto readUntil = [&](const std::string& needle, size_t from) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (open && got.find(needle, from) == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      char buf[65536];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) open = false;
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got.find(needle, from);
  };
  ASSERT_NE(std::string::npos, readUntil("event: frame\n", 0)) << got.substr(0, 2000);

  // The page's browser is busy for a while and reads nothing meanwhile.
  std::this_thread::sleep_for(std::chrono::seconds(15));
  const size_t dropped = readUntil("event: dropped\n", got.size());
  EXPECT_TRUE(open) << "the stream ended";
  ASSERT_NE(std::string::npos, dropped) << "no word of frames lost";
  EXPECT_NE(std::string::npos, readUntil("event: frame\n", dropped));
  EXPECT_TRUE(open) << "the stream ended";
  close(fd);

  traffic->Signal(SIGTERM);
  traffic->Wait();
  EXPECT_EQ(0, View({"stop"}));
  serve->Signal(SIGTERM);
  EXPECT_EQ(0, serve->Wait());
}

}  // namespace
