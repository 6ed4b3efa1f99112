// What nmx-view serve hands the page: frames and state as JSON, the bounded stream of events
// to one page, and the listening address it is given.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "capture/CaptureFormat.h"
#include "nmx-view/ServeJson.h"
#include "nmx-view/ServeStream.h"
#include "nmx-view/ViewCommands.h"

namespace {

using Bytes = std::vector<BYTE>;

// 2024-05-01 12:00:00 UTC as a file time.
constexpr LONGLONG kT0 = 133590384000000000LL;

void Put16(Bytes& b, WORD v) {
  for (int i = 0; i < 2; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}
void Put32(Bytes& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}

// The record of an NMX packet from 5.1.204.160.1.1:30000 to 5.1.204.160.1.1:851 (swapped for a
// response), as the logger stores it and a follower hands it over.
Bytes Record(LONGLONG time, WORD cmd, WORD flags, DWORD invoke, const Bytes& data, DWORD err = 0) {
  const BYTE id[6] = {5, 1, 204, 160, 1, 1};
  const bool response = flags & 1;
  Bytes p(id, id + 6);
  Put16(p, response ? 30000 : 851);
  p.insert(p.end(), id, id + 6);
  Put16(p, response ? 851 : 30000);
  Put16(p, cmd);
  Put16(p, flags);
  Put32(p, static_cast<DWORD>(data.size()));
  Put32(p, err);
  Put32(p, invoke);
  p.insert(p.end(), data.begin(), data.end());
  Bytes r(p.size() + vxcap::kPacketOffset);
  vxcap::EncodeRecord(r.data(), r.size(), time, p.data(), static_cast<DWORD>(p.size()));
  return r;
}

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
