// What nmx-view serve hands the page: frames and state as JSON, the bounded stream of events
// to one page, and the listening address it is given; the front that reads and judges every
// request within its bounds; where the token comes from.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureFormat.h"
#include "common/TestUtil.h"
#include "serve/ServeFront.h"
#include "serve/ServeJson.h"
#include "serve/ServeMetrics.h"
#include "serve/ServeOptions.h"
#include "serve/ServeStream.h"
#include "serve/ServeToken.h"
#include "viewclient/FrameRecords.h"
#include "viewclient/ViewCommands.h"

namespace {

using namespace viewtest;

// A JSON text read back: every value by its path ("capture.state", "a.b"), strings unescaped,
// other values as written; false when the text is not one well-formed JSON value.
class JsonReader {
 public:
  bool Read(const std::string& text, std::map<std::string, std::string>* values) {
    m_s = text;
    m_at = 0;
    m_values = values;
    return Value("") && (Space(), m_at == m_s.size());
  }

 private:
  void Space() {
    while (m_at < m_s.size() && isspace(static_cast<unsigned char>(m_s[m_at]))) ++m_at;
  }
  bool String(std::string* out) {
    if (m_s[m_at] != '"') return false;
    for (++m_at; m_at < m_s.size(); ++m_at) {
      const char c = m_s[m_at];
      if (c == '"') {
        ++m_at;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (++m_at >= m_s.size()) return false;
      const char e = m_s[m_at];
      if (e == 'u') {
        if (m_at + 4 >= m_s.size()) return false;
        const unsigned long v = std::stoul(m_s.substr(m_at + 1, 4), nullptr, 16);
        if (v > 0xFF) return false;  // all this system writes
        *out += static_cast<char>(v);
        m_at += 4;
      } else if (e == '"' || e == '\\' || e == '/') {
        *out += e;
      } else {
        return false;
      }
    }
    return false;
  }
  bool Value(const std::string& path) {
    Space();
    if (m_at >= m_s.size()) return false;
    const char c = m_s[m_at];
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++m_at;
      Space();
      if (m_at < m_s.size() && m_s[m_at] == close) return ++m_at, true;
      for (int i = 0;; ++i) {
        std::string key = std::to_string(i);
        Space();
        if (c == '{') {
          key.clear();
          if (!String(&key)) return false;
          Space();
          if (m_at >= m_s.size() || m_s[m_at++] != ':') return false;
        }
        if (!Value(path.empty() ? key : path + "." + key)) return false;
        Space();
        if (m_at >= m_s.size()) return false;
        if (m_s[m_at] == close) return ++m_at, true;
        if (m_s[m_at++] != ',') return false;
      }
    }
    if (c == '"') {
      std::string s;
      if (!String(&s)) return false;
      (*m_values)[path] = s;
      return true;
    }
    const size_t start = m_at;
    while (m_at < m_s.size() &&
           (isalnum(static_cast<unsigned char>(m_s[m_at])) || m_s[m_at] == '-' || m_s[m_at] == '.'))
      ++m_at;
    const std::string word = m_s.substr(start, m_at - start);
    if (word.empty()) return false;
    (*m_values)[path] = word;
    return true;
  }

  std::string m_s;
  size_t m_at = 0;
  std::map<std::string, std::string>* m_values = nullptr;
};

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::map<std::string, std::string> Parse(const std::string& json) {
  std::map<std::string, std::string> v;
  EXPECT_TRUE(JsonReader().Read(json, &v)) << json;
  return v;
}

TEST(ServeFrameJson, HoldsTheDumpLineAndItsPiecesForEachKindOfFrame) {
  Bytes name = {'a', '"', 'b', '\\', 0xE9};
  name.resize(16, 0);
  Bytes info;
  Put32(info, 0);
  info.insert(info.end(), {1, 2, 0x02, 0x03});
  info.insert(info.end(), name.begin(), name.end());
  Bytes read;
  for (DWORD v : {0x4020u, 1u, 10u}) Put32(read, v);

  struct Case {
    const char* what;
    Bytes record;
    DWORD number;
    std::map<std::string, std::string> expected;
  };
  const std::vector<Case> cases = {
      {"a KRP request",
       Record(kT0 + 1234567, 2, 0x0004, 9, read),
       7,
       {{"n", "7"},
        {"time", "2024-05-01 12:00:00.123456"},
        {"ms", "1714564800123"},
        {"sender", "5.1.204.160.1.1:30000"},
        {"target", "5.1.204.160.1.1:851"},
        {"command", "Read(2)"},
        {"dir", "req"},
        {"flags", "0x0004"},
        {"invoke", "9"},
        {"error", "0"},
        {"errorCode", "0"},
        {"length", "12"},
        {"krp", "indexGroup=0x4020 indexOffset=0x1 length=10"},
        {"line",
         "7 2024-05-01 12:00:00.123456 5.1.204.160.1.1:30000 -> 5.1.204.160.1.1:851 Read(2) req "
         "flags=0x0004 invoke=9 err=0 len=12 indexGroup=0x4020 indexOffset=0x1 length=10"},
        {"bytesOmitted", "0"}}},
      {"a response with text from the wire",
       Record(kT0, 1, 0x0005, 3, info),
       0,
       {{"dir", "res"},
        {"command", "ReadDeviceInfo(1)"},
        {"krp", "result=0x0 version=\"1.2.770\" name=\"a\\x22b\\x5C\\xE9\""},
        {"line",
         "0 2024-05-01 12:00:00.000000 5.1.204.160.1.1:851 -> 5.1.204.160.1.1:30000 "
         "ReadDeviceInfo(1) res flags=0x0005 invoke=3 err=0 len=24 result=0x0 "
         "version=\"1.2.770\" name=\"a\\x22b\\x5C\\xE9\""}}},
      {"an NMX error beyond 16 bits, and a time before 1970",
       Record(100, 12, 0x0001, 4, {}, 0x98110702),
       1,
       {{"command", "NMX(12)"},
        {"error", "0x98110702"},
        {"errorCode", std::to_string(static_cast<LONG>(0x98110702))},
        {"krp", ""},
        {"ms", "null"},
        {"time", "1601-01-01 00:00:00.000010"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string json =
        ServeFrameJson(c.record.data(), static_cast<DWORD>(c.record.size()), c.number);
    EXPECT_EQ(std::string::npos, json.find('\n')) << "one event line";
    const auto v = Parse(json);
    for (const auto& e : c.expected)
      EXPECT_EQ(e.second, v.count(e.first) ? v.at(e.first) : "?") << e.first;
  }

  // The bytes are those of the NMX packet, header first.
  const Bytes r = Record(kT0, 2, 0x0004, 9, read);
  const auto v = Parse(ServeFrameJson(r.data(), static_cast<DWORD>(r.size()), 0));
  EXPECT_EQ(
      "0501cca001015303"
      "0501cca001013075"
      "02000400"
      "0c000000"
      "00000000"
      "09000000"
      "20400000"
      "01000000"
      "0a000000",
      v.at("bytes"));
}

TEST(ServeFrameJson, ShowsTheStartOfAVeryLargeFrameAndSaysHowMuchIsLeft) {
  const Bytes r = Record(kT0, 3, 0x0004, 1, Bytes(40000, 0xAB));
  const auto v = Parse(ServeFrameJson(r.data(), static_cast<DWORD>(r.size()), 0));
  EXPECT_EQ(2u * 16384, v.at("bytes").size());
  EXPECT_EQ(std::to_string(32 + 40000 - 16384), v.at("bytesOmitted"));
}

TEST(ServeStateJson, SaysWhereTheServerStandsWithTheLoggerAndTheCapture) {
  ServeState s;
  s.link = ServeLink::kBusy;
  s.message = "another viewer holds the logger (\"capture state\": no answer)";
  auto v = Parse(ServeStateJson(s, "10.0.0.7:48914"));
  EXPECT_EQ("busy", v.at("link"));
  EXPECT_EQ(s.message, v.at("message"));
  EXPECT_EQ("10.0.0.7:48914", v.at("logger"));
  EXPECT_EQ("null", v.at("capture"));

  s.link = ServeLink::kFollowing;
  s.message.clear();
  s.bHaveCapture = true;
  s.capture.bCapturing = true;
  s.capture.bRing = true;
  s.capture.fileSize = 4 << 20;
  s.capture.frames = 12;
  s.capture.overflows = 2;
  s.capture.captureFile = "C:\\Boot\\run.cap";
  s.capture.filter.bActive = true;
  v = Parse(ServeStateJson(s, "127.0.0.1:48914"));
  EXPECT_EQ("following", v.at("link"));
  EXPECT_EQ("capturing", v.at("capture.state"));
  EXPECT_EQ("ring", v.at("capture.fileMode"));
  EXPECT_EQ("4194304", v.at("capture.fileSize"));
  EXPECT_EQ("12", v.at("capture.frames"));
  EXPECT_EQ("2", v.at("capture.overflows"));
  EXPECT_EQ("C:\\Boot\\run.cap", v.at("capture.captureFile"));
  EXPECT_EQ("null", v.at("capture.saveName"));
  EXPECT_EQ("true", v.at("capture.filter.active"));

  v = Parse(ServeOutcomeJson(false, "start: already capturing (0x712)"));
  EXPECT_EQ("false", v.at("ok"));
  EXPECT_EQ("start: already capturing (0x712)", v.at("error"));
  EXPECT_EQ("true", Parse(ServeOutcomeJson(true, "")).at("ok"));
}

// The exposition as Prometheus reads it: each sample once, the histogram's buckets cumulative
// with each time in the first bucket that holds it, and the logger's state only when serve
// reached it.
TEST(ServeMetrics, CountsFramesAndResponseTimesInPrometheusTextFormat) {
  CServeMetrics m;
  m.Frame(100, false);
  m.Frame(50, true);
  m.Gap();
  m.Unanswered();
  for (uint64_t us : {0, 100, 101, 10000000, 10000001}) m.Answered("Read", us);
  m.Answered("", 2500);
  ServeState state;
  state.bHaveCapture = true;
  state.capture.bCapturing = true;
  state.capture.overflows = 3;
  state.capture.bDroppedKnown = true;
  state.capture.dropped = 7;
  const std::string text = m.Text(state, true);
  for (const char* sample : {
           "vxnmxlogger_up 1\n",
           "vxnmxlogger_capturing 1\n",
           "vxnmxlogger_ring_overflows_total 3\n",
           "vxnmxlogger_frames_total 2\n",
           "vxnmxlogger_frame_bytes_total 150\n",
           "vxnmxlogger_frames_dropped_total 7\n",
           "vxnmxlogger_follow_gaps_total 1\n",
           "vxnmxlogger_errors_total 1\n",
           "vxnmxlogger_unanswered_total 1\n",
           "# TYPE vxnmxlogger_response_time_seconds histogram\n",
           "vxnmxlogger_response_time_seconds_bucket{command=\"Read\",le=\"0.0001\"} 2\n",
           "vxnmxlogger_response_time_seconds_bucket{command=\"Read\",le=\"0.00025\"} 3\n",
           "vxnmxlogger_response_time_seconds_bucket{command=\"Read\",le=\"5\"} 3\n",
           "vxnmxlogger_response_time_seconds_bucket{command=\"Read\",le=\"10\"} 4\n",
           "vxnmxlogger_response_time_seconds_bucket{command=\"Read\",le=\"+Inf\"} 5\n",
           "vxnmxlogger_response_time_seconds_sum{command=\"Read\"} 20.000202\n",
           "vxnmxlogger_response_time_seconds_count{command=\"Read\"} 5\n",
           "vxnmxlogger_response_time_seconds_bucket{command=\"other\",le=\"0.001\"} 0\n",
           "vxnmxlogger_response_time_seconds_bucket{command=\"other\",le=\"0.0025\"} 1\n",
       }) {
    EXPECT_EQ(1u, Count(text, sample)) << sample << text;
  }
  EXPECT_EQ(1u, Count(text, "# TYPE vxnmxlogger_frames_total counter\n"));
  EXPECT_EQ('\n', text.back());

  const std::string down = m.Text(state, false);
  EXPECT_EQ(1u, Count(down, "vxnmxlogger_up 0\n"));
  EXPECT_EQ(0u, Count(down, "vxnmxlogger_capturing"));
  EXPECT_EQ(1u, Count(down, "vxnmxlogger_frames_total 2\n"));
}

TEST(ServeStream, ASlowPageLosesFramesCountedButNeverTheLatestState) {
  const std::string frame(100, 'f');
  // Room for three frame events of this size.
  const size_t event = std::string("event: frame\ndata: \n\n").size() + frame.size();
  CServeStream stream(3 * event);
  stream.PushState("{\"s\":1}");
  for (int i = 0; i < 5; ++i) stream.PushFrame("frame", frame);
  stream.PushState("{\"s\":2}");
  EXPECT_EQ(2u, stream.Dropped());

  std::string out;
  ASSERT_TRUE(stream.Take(&out, 0));
  std::string expected =
      "event: dropped\ndata: {\"dropped\":2}\n\nevent: state\ndata: {\"s\":2}\n\n";
  for (int i = 0; i < 3; ++i) expected += "event: frame\ndata: " + frame + "\n\n";
  EXPECT_EQ(expected, out);

  // Taken events make room again; the count of drops is told once.
  out.clear();
  stream.PushFrame("lost", "{}");
  ASSERT_TRUE(stream.Take(&out, 0));
  EXPECT_EQ("event: lost\ndata: {}\n\n", out);
  out.clear();
  EXPECT_TRUE(stream.Take(&out, 0));
  EXPECT_EQ("", out);

  // A closed stream hands out what it holds, then ends; later pushes are ignored.
  stream.PushFrame("frame", "{}");
  stream.Close();
  stream.PushFrame("frame", "{\"late\":1}");
  EXPECT_TRUE(stream.Take(&out, 1000));
  EXPECT_EQ("event: frame\ndata: {}\n\n", out);
  EXPECT_FALSE(stream.Take(&out, 1000));
}

TEST(ServeStream, HandsOutBoundedBatchesAndCountsFramesItHadNoRoomFor) {
  const std::string frame(90, 'f');
  const size_t event = std::string("event: frame\ndata: \n\n").size() + frame.size();
  CServeStream stream(4 * event, 2 * event + 1);
  for (int i = 0; i < 4; ++i) stream.PushFrame("frame", frame);
  EXPECT_TRUE(stream.HasRoom(0));
  EXPECT_FALSE(stream.HasRoom(1));
  stream.Drop();

  // Each take hands out what fits a batch, the oldest first; taken events make room.
  std::string out;
  ASSERT_TRUE(stream.Take(&out, 0));
  EXPECT_EQ("event: dropped\ndata: {\"dropped\":1}\n\n", out.substr(0, out.find("event: frame")));
  EXPECT_EQ(2u, Count(out, "event: frame"));
  EXPECT_TRUE(stream.HasRoom(2 * event));
  EXPECT_FALSE(stream.HasRoom(2 * event + 1));
  out.clear();
  ASSERT_TRUE(stream.Take(&out, 0));
  EXPECT_EQ(2u, Count(out, "event: frame"));

  // An event larger than a batch still goes out, alone.
  const std::string large(3 * event, 'L');
  CServeStream wide(8 * event, event);
  wide.PushFrame("frame", large);
  wide.PushFrame("frame", frame);
  out.clear();
  ASSERT_TRUE(wide.Take(&out, 0));
  EXPECT_EQ("event: frame\ndata: " + large + "\n\n", out);

  // A closed stream has no room and counts nothing more.
  wide.Close();
  EXPECT_FALSE(wide.HasRoom(0));
  wide.Drop();
  EXPECT_EQ(0u, wide.Dropped());
}

TEST(ServeFront, JudgesWhoMayAskFromTheHeadAlone) {
  ServeRequestRules token;
  token.token = "s3cret";
  token.port = 8080;
  ServeRequestRules loopback;
  loopback.port = 8080;
  ServeFrontLimits limits;
  limits.cbRequestLine = 64;
  limits.cbBody = 1000;
  const std::string post = "POST /api/set?token=s3cret HTTP/1.1\r\nX-Nmx-View: 1\r\n";
  struct Case {
    const char* what;
    const ServeRequestRules& rules;
    std::string head;
    int status;
    size_t cbBody;
  };
  const Case cases[] = {
      {"the token", token, "GET /?token=s3cret HTTP/1.1\r\n\r\n", 0, 0},
      {"the token among other parameters", token,
       "GET /events?x=1&token=s3cret&token=no HTTP/1.0\r\nHost: anywhere\r\n\r\n", 0, 0},
      {"the token encoded", token, "GET /?token=%73%33cret HTTP/1.1\r\n\r\n", 0, 0},
      {"no token", token, "GET / HTTP/1.1\r\n\r\n", 401, 0},
      {"a token cut short", token, "GET /?token=s3cre HTTP/1.1\r\n\r\n", 401, 0},
      {"the token under another name", token, "GET /?tok=s3cret HTTP/1.1\r\n\r\n", 401, 0},
      {"an action not from the page", token, "POST /api/stop?token=s3cret HTTP/1.1\r\n\r\n", 403,
       0},
      {"an action with its body", token, post + "Content-Length: 1000\r\n\r\n", 0, 1000},
      {"a body beyond the bound", token, post + "content-length: 1001\r\n\r\n", 413, 0},
      {"a body beyond any number", token, post + "Content-Length: 99999999999999999999999\r\n\r\n",
       413, 0},
      {"a chunked body", token, post + "Transfer-Encoding: chunked\r\n\r\n", 411, 0},
      {"a chunked body without the token", token,
       "POST /api/set HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 401, 0},
      {"a length that is no number", token, post + "Content-Length: -1\r\n\r\n", 400, 0},
      {"two lengths", token, post + "Content-Length: 1\r\nContent-Length: 1\r\n\r\n", 400, 0},
      {"two hosts", loopback, "GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nHost: a\r\n\r\n", 400, 0},
      {"no version", token, "GET /?token=s3cret\r\n\r\n", 400, 0},
      {"two spaces", token, "GET  /?token=s3cret HTTP/1.1\r\n\r\n", 400, 0},
      {"another protocol", token, "GET /?token=s3cret HTTP/2\r\n\r\n", 400, 0},
      {"a field without a colon", token, "GET /?token=s3cret HTTP/1.1\r\nHost\r\n\r\n", 400, 0},
      {"a folded field", token, "GET /?token=s3cret HTTP/1.1\r\nA: b\r\n c\r\n\r\n", 400, 0},
      {"a request line beyond the bound", token,
       "GET /?token=s3cret&" + std::string(64, 'x') + " HTTP/1.1\r\n\r\n", 414, 0},
      {"a loopback host", loopback, "GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", 0, 0},
      {"localhost", loopback, "GET / HTTP/1.1\r\nhost:  localhost:8080 \r\n\r\n", 0, 0},
      {"IPv6 loopback", loopback, "GET / HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", 0, 0},
      {"another host", loopback, "GET / HTTP/1.1\r\nHost: evil.example:8080\r\n\r\n", 403, 0},
      {"another port", loopback, "GET / HTTP/1.1\r\nHost: 127.0.0.1:8081\r\n\r\n", 403, 0},
      {"no host", loopback, "GET / HTTP/1.1\r\n\r\n", 403, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ServeVerdict v = JudgeServeRequest(c.head, c.rules, limits);
    EXPECT_EQ(c.status, v.status) << v.text;
    EXPECT_EQ(c.cbBody, v.cbBody);
    EXPECT_EQ(c.status != 0, !v.text.empty());
  }
}

// A front on a loopback port of its own, whose handover keeps what it was handed and answers
// 204 itself.
class ServeFrontTest : public testing::Test {
 protected:
  void Start(const ServeFrontLimits& limits) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    ASSERT_EQ(0, bind(m_listen, reinterpret_cast<sockaddr*>(&sin), sizeof sin));
    ASSERT_EQ(0, listen(m_listen, 16));
    ASSERT_EQ(0, getsockname(m_listen, reinterpret_cast<sockaddr*>(&sin), &len));
    m_port = ntohs(sin.sin_port);
    ServeRequestRules rules;
    rules.token = "t";
    rules.port = m_port;
    m_front = std::make_unique<CServeFront>(rules, limits, [this](int fd, std::string request) {
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_handed.push_back(std::move(request));
      }
      const char answer[] = "HTTP/1.1 204 No Content\r\n\r\n";
      send(fd, answer, sizeof answer - 1, MSG_NOSIGNAL);
      close(fd);
      return true;
    });
    ASSERT_TRUE(m_front->Start(m_listen));
  }
  void TearDown() override {
    if (m_front) m_front->Stop();
    if (m_listen >= 0) close(m_listen);
  }

  int Connect() const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(m_port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin));
    return fd;
  }
  // What arrives on fd until it is closed or the deadline passes.
  static std::string Answer(int fd, std::chrono::seconds deadline = std::chrono::seconds(30)) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  std::vector<std::string> Handed() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_handed;
  }

  int m_listen = -1;
  WORD m_port = 0;
  std::unique_ptr<CServeFront> m_front;
  std::mutex m_mutex;
  std::vector<std::string> m_handed;
};

TEST_F(ServeFrontTest, ARequestBeyondItsBoundsIsAnsweredThereWithoutReadingOn) {
  ServeFrontLimits limits;
  ASSERT_NO_FATAL_FAILURE(Start(limits));
  struct Case {
    const char* what;
    std::string start;  // then the filler, as long as the front takes it
    const char* status;
  };
  const Case cases[] = {
      {"a request line without end", "GET /", "HTTP/1.1 414 "},
      {"a header line without end", "GET /?token=t HTTP/1.1\r\nX-Long: ", "HTTP/1.1 431 "},
      {"a chunked body without the token",
       "POST /api/set HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n", "HTTP/1.1 401 "},
      {"a body beyond the bound with the token",
       "POST /api/set?token=t HTTP/1.1\r\nX-Nmx-View: 1\r\nContent-Length: 1000000000\r\n\r\n",
       "HTTP/1.1 413 "},
  };
  constexpr size_t kOffered = 256u << 20;
  const std::string filler(64u << 10, 'a');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = Connect();
    ASSERT_EQ(static_cast<ssize_t>(c.start.size()),
              send(fd, c.start.data(), c.start.size(), MSG_NOSIGNAL));
    // Sends until the front closes or all was taken, reading what it answers meanwhile.
    size_t sent = 0;
    std::string answer;
    bool open = true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (open && sent < kOffered && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN | POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) answer.append(buf, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN)) open = false;
      } else if (p.revents & POLLOUT) {
        const ssize_t n = send(fd, filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) open = false;
      }
    }
    close(fd);
    EXPECT_FALSE(open) << "the front took all of " << sent << " bytes";
    EXPECT_LT(sent, 64u << 20);
    EXPECT_EQ(0u, answer.rfind(c.status, 0)) << answer;
  }
  EXPECT_TRUE(Handed().empty());
}

TEST_F(ServeFrontTest, WaitingConnectionsDelayNoWholeRequestTheOldestMakeRoomTheSlowGet408) {
  ServeFrontLimits limits;
  limits.maxWaiting = 50;
  limits.requestMs = 3000;
  ASSERT_NO_FATAL_FAILURE(Start(limits));
  std::vector<int> silent;
  for (int i = 0; i < 70; ++i) silent.push_back(Connect());
  // Each waiting connection sends a byte now and then, never the whole head.
  std::vector<int> slow;
  for (int i = 0; i < 10; ++i) slow.push_back(Connect());
  std::atomic<bool> trickle{true};
  std::thread trickler([&] {
    while (trickle) {
      for (int fd : slow) send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  // A whole request is handed over while the others wait.
  const std::string request = "GET /?token=t HTTP/1.1\r\nHost: x\r\n\r\n";
  const int fd = Connect();
  ASSERT_EQ(static_cast<ssize_t>(request.size()),
            send(fd, request.data(), request.size(), MSG_NOSIGNAL));
  EXPECT_EQ("HTTP/1.1 204 No Content\r\n\r\n", Answer(fd));
  close(fd);
  EXPECT_EQ(std::vector<std::string>{request}, Handed());

  // The 31 oldest went, without a word, to make room for the later ones; those still waiting
  // when their time is up are told so.
  for (size_t i = 0; i < silent.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string answer = Answer(silent[i]);
    if (i <= 30)
      EXPECT_EQ("", answer);
    else
      EXPECT_EQ(0u, answer.rfind("HTTP/1.1 408 ", 0)) << answer;
  }
  for (int s : slow) EXPECT_EQ(0u, Answer(s).rfind("HTTP/1.1 408 ", 0));
  trickle = false;
  trickler.join();
  for (int s : silent) close(s);
  for (int s : slow) close(s);
}

TEST(ServeToken, IsReadFromARegularFileOfBoundedSizeWithoutTheBlanksAroundIt) {
  vxtest::TempDir dir;
  struct Case {
    const char* what;
    std::string content;  // empty: the path names no file
    bool ok;
    const char* token;
  };
  const Case cases[] = {
      {"a line", "abc-1._~\n", true, "abc-1._~"},
      {"blanks and line ends", " \t abc\r\n\n", true, "abc"},
      {"4 KiB", std::string(4096, 'a'), true, nullptr},
      {"more than 4 KiB", std::string(4097, 'a'), false, nullptr},
      {"no file", "", false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir / c.what;
    if (!c.content.empty())
      vxtest::WriteFileBytes(path, std::vector<unsigned char>(c.content.begin(), c.content.end()));
    std::string token = "unchanged", why;
    EXPECT_EQ(c.ok, ReadServeTokenFile(path, &token, &why)) << why;
    EXPECT_EQ(c.ok, why.empty());
    if (c.token) {
      EXPECT_EQ(c.token, token);
    }
    if (!c.ok) {
      EXPECT_EQ("unchanged", token);
    }
  }
  // A FIFO with no writer is refused at once, not waited on; so is a folder.
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const std::string& path : {fifo, dir.path()}) {
    std::string token, why;
    EXPECT_FALSE(ReadServeTokenFile(path, &token, &why));
    EXPECT_EQ("not a regular file", why);
  }

  for (const char* good : {"a", "s3cret", "A-b_c.d~9"}) EXPECT_TRUE(IsServeToken(good)) << good;
  for (const char* bad : {"", "a b", "a/b", "a+b", "a%20", "t\xC3\xA9"})
    EXPECT_FALSE(IsServeToken(bad)) << bad;
}

TEST(ServeListen, AddressesAndWhichOfThemAreLoopback) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    unsigned port;
    bool loopback;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080, true},
      {"0.0.0.0:0", true, "0.0.0.0", 0, false},
      {"localhost:80", true, "localhost", 80, true},
      {"[::1]:8080", true, "::1", 8080, true},
      {"[fe80::1]:9000", true, "fe80::1", 9000, false},
      {"192.168.1.5:65535", true, "192.168.1.5", 65535, false},
      {"8080", false, "", 0, false},
      {":8080", false, "", 0, false},
      {"127.0.0.1:", false, "", 0, false},
      {"127.0.0.1:65536", false, "", 0, false},
      {"127.0.0.1:80x", false, "", 0, false},
      {"::1:8080", false, "", 0, false},
      {"[]:8080", false, "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string host;
    WORD port = 1;
    ASSERT_EQ(c.ok, ParseListenAddress(c.text, &host, &port));
    if (!c.ok) continue;
    EXPECT_EQ(c.host, host);
    EXPECT_EQ(c.port, port);
    EXPECT_EQ(c.loopback, IsLoopbackHost(host));
  }
}

}  // namespace
