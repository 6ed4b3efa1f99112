// nmx-view in process: its commands against a running engine, its command line, and how it
// puts frame records together again from damaged or reordered packets.
#include "nmx-view/NmxView.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "nmx-view/PacketAssembler.h"
#include "nmx-view/ViewCommands.h"
#include "viewer-service/ViewerServiceTestUtil.h"

using namespace vstest;

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

Outcome View(const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"nmx-view"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int status = RunNmxView(static_cast<int>(argv.size()), argv.data(), out, err);
  return Outcome{status, out.str(), err.str()};
}

using ViewCommands = EngineFixture;

TEST_F(ViewCommands, SettingsAndFiltersReachTheEngine) {
  const std::string port = std::to_string(Port());
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* err;  // part of the error line
  };
  const Case cases[] = {
      {{"set", "ring"}, kViewExitOk, ""},
      {{"set", "filesize", "8M"}, kViewExitOk, ""},
      {{"set", "buffersize", "32K"}, kViewExitOk, ""},
      {{"set", "savename", "view.cap"}, kViewExitOk, ""},
      {{"set", "autosave", "off"}, kViewExitOk, ""},
      {{"set", "savename", "../up.cap"}, kViewExitFailed, "not a file name"},
      {{"set", "filesize", "5X"}, kViewExitUsage, "not a byte count"},
      {{"filter", "include", "1.2.3.4.1.1:851", ":852", "5.6.7.8.1.1", "any"}, kViewExitOk, ""},
      {{"filter", "exclude"}, kViewExitOk, ""},
      {{"filter", "enable", "include"}, kViewExitOk, ""},
      {{"filter", "enable"}, kViewExitOk, ""},
      {{"filter", "flags", "krp,error"}, kViewExitOk, ""},
      {{"filter", "include", "1.2.3.4.1:5"}, kViewExitUsage, "not an address"},
      {{"filter", "flags", "all"}, kViewExitUsage, "unknown filter flag"},
      {{"stop"}, kViewExitFailed, "not capturing (0x712)"},
      {{"save", "x.cap"}, kViewExitFailed, "could not save it"},
      {{"get", "missing.bin", "-o", m_dir / "missing.bin"}, kViewExitFailed, "cannot open it"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--port", port};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = View(args);
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_TRUE(m_engine->IsRingBuffer());
  EXPECT_EQ(m_engine->OsUserGetFileSize(), 8u << 20);
  EXPECT_EQ(m_engine->GetBufferSize(), 32u << 10);
  EXPECT_EQ(std::string(m_engine->GetSaveFileName()), "view.cap");
  EXPECT_FALSE(m_engine->GetAutoSave());
  EXPECT_TRUE(m_engine->IsFilterActive());
  EXPECT_TRUE(m_engine->IsIncludeTableActive());
  EXPECT_EQ(m_engine->GetFilterFlags(), 3u);

  const Outcome status = View({"--port", port, "status"});
  EXPECT_EQ(status.status, kViewExitOk) << status.err;
  EXPECT_NE(status.out.find("file mode:     ring of capture files\n"
                            "file size:     8388608 bytes\n"
                            "buffer size:   32768 bytes\n"),
            std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("include table: on, 4 entries: 1.2.3.4.1.1:851, :852, "
                            "5.6.7.8.1.1, any\nexclude table: off, 0 entries\n"
                            "filter flags:  krp,error\n"),
            std::string::npos)
      << status.out;
  const Outcome json = View({"--port", port, "--json", "status"});
  EXPECT_NE(json.out.find("\"saveName\":\"view.cap\",\"autoSave\":false,"), std::string::npos)
      << json.out;

  // Tables stay while capturing, and nmx-view says why.
  ASSERT_EQ(View({"--port", port, "start"}).status, kViewExitOk);
  const Outcome refused = View({"--port", port, "filter", "exclude", ":1"});
  EXPECT_EQ(refused.status, kViewExitFailed);
  EXPECT_NE(refused.err.find("refused while capturing (0x700)"), std::string::npos) << refused.err;
  EXPECT_EQ(View({"--port", port, "start"}).status, kViewExitFailed);
}

TEST(ViewCommandLine, WrongCommandLinesAreRefusedBeforeConnecting) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--port", "0", "status"},
      {"--port", "65536", "status"},
      {"--timeout", "x", "status"},
      {"--bogus", "status"},
      {"bogus"},
      {"status", "extra"},
      {"start", "a", "b"},
      {"save"},
      {"get"},
      {"get", "a", "-x", "b"},
      {"get", ".."},
      {"follow", "--notify", "--poll"},
      {"follow", "--cycle"},
      {"follow", "--count", "-1"},
      {"follow", "stray"},
  };
  for (const auto& args : wrong) {
    // Towards a port without a logger, unless the case names its own.
    std::vector<std::string> all = {"--port", "1"};
    if (!args.empty() && args[0] == "--port") all.clear();
    all.insert(all.end(), args.begin(), args.end());
    const Outcome r = View(all);
    EXPECT_EQ(r.status, kViewExitUsage) << (args.empty() ? "" : args[0]) << r.err;
    EXPECT_NE(r.err.find("usage: nmx-view"), std::string::npos);
  }
  // Port 1 has no logger.
  const Outcome none = View({"--port", "1", "status"});
  EXPECT_EQ(none.status, kViewExitConnection);
  EXPECT_EQ(none.err, "nmx-view: status: cannot connect to 127.0.0.1:1: connection refused\n");
}

TEST(ViewParsing, AddressesAndByteCounts) {
  struct Addr {
    const char* text;
    bool ok;
    const char* back;
  };
  for (const Addr& a :
       {Addr{"any", true, "any"}, Addr{"*", true, "any"}, Addr{":851", true, ":851"},
        Addr{"*:851", true, ":851"}, Addr{"1.2.3.4.1.1", true, "1.2.3.4.1.1"},
        Addr{"1.2.3.4.1.1:65535", true, "1.2.3.4.1.1:65535"}, Addr{"1.2.3.4.1.256", false, ""},
        Addr{"1.2.3.4.1", false, ""}, Addr{"1.2.3.4.1.1.1", false, ""}, Addr{":65536", false, ""},
        Addr{"any:5", false, ""}, Addr{"", false, ""}, Addr{":", false, ""}}) {
    BYTE entry[10];
    std::string error;
    EXPECT_EQ(ParseAddressEntry(a.text, entry, &error), a.ok) << a.text;
    if (a.ok) {
      EXPECT_EQ(FormatAddressEntry(entry), a.back);
    }
  }
  struct Count {
    const char* text;
    bool ok;
    DWORD value;
  };
  for (const Count& c :
       {Count{"0", true, 0}, Count{"4096", true, 4096}, Count{"4K", true, 4096},
        Count{"3M", true, 3u << 20}, Count{"3G", true, 3u << 30}, Count{"4G", false, 0},
        Count{"4294967295", true, 0xFFFFFFFF}, Count{"4294967296", false, 0}, Count{"-1", false, 0},
        Count{"1MB", false, 0}, Count{"", false, 0}}) {
    DWORD v = 7;
    EXPECT_EQ(ParseByteCount(c.text, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

// Packets as the logger builds them, from whole records.
class Packets {
 public:
  explicit Packets(WORD nId) : m_nId(nId) {}
  // Splits the records into packets with room for `room` bytes of data each.
  std::vector<Bytes> Split(const std::vector<Bytes>& records, size_t room) {
    Bytes all;
    for (const Bytes& r : records) all.insert(all.end(), r.begin(), r.end());
    std::vector<Bytes> packets;
    WORD n = 0;
    for (size_t at = 0; at < all.size(); at += room) {
      const size_t cb = std::min(room, all.size() - at);
      TCapturePacketHdr h{};
      h.nId = m_nId;
      h.nPacket = n++;
      h.cbLeft = static_cast<DWORD>(all.size() - at - cb);
      h.cbData = static_cast<DWORD>(cb);
      Bytes p(24);
      vxcap::EncodeCapturePacketHdr(p.data(), h);
      p.insert(p.end(), all.begin() + static_cast<std::ptrdiff_t>(at),
               all.begin() + static_cast<std::ptrdiff_t>(at + cb));
      packets.push_back(std::move(p));
    }
    return packets;
  }

 private:
  WORD m_nId;
};

Bytes Record(DWORD n, DWORD size) {
  const Bytes cmd = TrafficCommand(n, size);
  Bytes rec(vxcap::RecordSize(static_cast<DWORD>(cmd.size())));
  vxcap::EncodeRecord(rec.data(), rec.size(), 1000 + n, cmd.data(), static_cast<DWORD>(cmd.size()));
  return rec;
}

struct Collected {
  std::vector<Bytes> records;
  CPacketAssembler::RecordSink Sink() {
    return [this](const BYTE* p, DWORD n) { records.emplace_back(p, p + n); };
  }
};

TEST(PacketAssembler, RecordsSplitAcrossPacketsComeOutWhole) {
  const std::vector<Bytes> records = {Record(1, 10), Record(2, 3000), Record(3, 0)};
  Collected got;
  CPacketAssembler a;
  std::string problem;
  for (const Bytes& p : Packets(1).Split(records, 700))
    ASSERT_TRUE(a.Add(p.data(), p.size(), got.Sink(), &problem)) << problem;
  EXPECT_EQ(got.records, records);
  EXPECT_EQ(a.Pending(), 0u);
}

TEST(PacketAssembler, DamageLosesOnlyWhatItTouches) {
  const std::vector<Bytes> first = {Record(1, 100), Record(2, 100)};
  const std::vector<Bytes> second = {Record(3, 100)};
  const std::vector<Bytes> p1 = Packets(1).Split(first, 150);  // records of 176 bytes
  const std::vector<Bytes> p2 = Packets(2).Split(second, 1000);
  Bytes lying = p1[0];
  vx::EncodeLE32(lying.data() + 8, 5000);  // cbData beyond the packet
  Bytes huge = p2[0];
  vx::EncodeLE32(huge.data() + 24 + vxcap::kRecFrameLength, 0xFFFFFF00u);
  Bytes badEther = p2[0];
  badEther[24 + vxcap::kRecEtherType] ^= 0xFF;
  Bytes endsEarly = p1[0];
  vx::EncodeLE32(endsEarly.data() + 4, 0);  // cbLeft 0 inside a record

  struct Case {
    const char* name;
    std::vector<Bytes> packets;
    size_t records;  // whole records delivered in all
  };
  const Case cases[] = {
      {"length beyond the packet", {lying, p2[0]}, 1},
      {"a later packet without its start", {p1[1], p2[0]}, 1},
      {"packets out of order", {p1[0], p1[2], p2[0]}, 1},
      {"a new sequence inside a record", {p1[0], p2[0]}, 1},
      {"a record of 4 GiB", {huge, p1[0], p1[1], p1[2]}, 2},
      {"a damaged record", {badEther, p2[0]}, 1},
      {"a sequence ending inside a record", {endsEarly, p2[0]}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Collected got;
    CPacketAssembler a;
    int failures = 0;
    for (const Bytes& p : c.packets) {
      std::string problem;
      if (!a.Add(p.data(), p.size(), got.Sink(), &problem)) {
        ++failures;
        EXPECT_FALSE(problem.empty());
      }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(got.records.size(), c.records);
    for (const Bytes& r : got.records)
      EXPECT_EQ(vxcap::ValidateRecord(r.data(), r.size()), vxcap::RecordStatus::kOk);
  }
}

}  // namespace
