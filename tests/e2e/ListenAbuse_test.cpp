// The viewer port under abuse, through the built program: VxNmxLogger -l capturing traffic
// while clients send broken framing, requests cut short, a flood of garbage connections,
// sizes beyond the bounds and a viewer that stops reading; connections that say nothing or
// vanish holding files; names in the boot folder that lead out of it or would block; settings
// documents that cannot be taken. The daemon stays up, its memory stays bounded, it reads and
// writes nothing outside the boot folder, says what it refused, and the next viewer is served.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/ListenFixture.h"
#include "nmx/KrpTypes.h"
#include "os/OsUserTools.h"
#include "viewer/KrpCommFormat.h"
#include "viewer/ViewerTestUtil.h"

namespace {

using e2etest::ListenViewer;
using viewertest::Bytes;
using viewertest::Frame;
using viewertest::KrpRequest;
using viewertest::RawPeer;

constexpr DWORD kNoAnswer = 0xFFFFFFFF;
constexpr DWORD kInvalidSize = 0x705;

Bytes Words(std::initializer_list<DWORD> values) {
  Bytes b;
  for (DWORD v : values) viewertest::PutLE32(b, v);
  return b;
}

// An NMX/TCP prefix claiming length bytes, and what follows it.
Bytes Prefixed(DWORD length, size_t cbFollowing) {
  Bytes b;
  viewertest::PutLE16(b, 0);
  viewertest::PutLE32(b, length);
  b.resize(b.size() + cbFollowing, 0x5A);
  return b;
}

// The peak resident memory of a process in KiB; -1 where the system does not tell.
long PeakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

class ListenAbuse : public ListenViewer {
 protected:
  // The KRP result answered to a request; notifications in between are skipped.
  static DWORD Ask(RawPeer& peer, WORD cmdId, DWORD invokeId, const Bytes& payload) {
    if (!peer.Send(KrpRequest(cmdId, invokeId, payload))) return kNoAnswer;
    for (;;) {
      Frame f;
      if (!peer.ReadFrame(&f)) return kNoAnswer;
      if ((f.head.stateFlags & NMX_FLAG_RESPONSE) && f.head.hUser == invokeId)
        return f.data.size() >= 4 ? vx::DecodeLE32(f.data.data()) : kNoAnswer;
    }
  }
  static DWORD WriteCapture(RawPeer& peer, DWORD offset, DWORD value) {
    return Ask(peer, KRP_CMD_WRITE, offset, Words({KRPCOMM_IG_CAPTURE, offset, 4, value}));
  }
  static DWORD OpenFile(RawPeer& peer, DWORD invokeId, const std::string& name) {
    Bytes request =
        Words({KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_OPEN_FILE, 4, static_cast<DWORD>(name.size() + 1)});
    request.insert(request.end(), name.begin(), name.end());
    request.push_back(0);
    return Ask(peer, KRP_CMD_READWRITE, invokeId, request);
  }
  // A new viewer gets its capture state read.
  bool Served() {
    RawPeer viewer(m_port);
    return Ask(viewer, KRP_CMD_READ, 1, Words({KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4})) == 0;
  }
};

TEST_F(ListenAbuse, TheDaemonStaysUpWithBoundedMemoryAndServesTheNextViewer) {
  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)});
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection")) << logger->Output();
  {
    RawPeer viewer(m_port);
    ASSERT_EQ(WriteCapture(viewer, 2, 2), 0u);
    EXPECT_EQ(WriteCapture(viewer, 3, 0xFFFFFFFF), kInvalidSize);
    EXPECT_EQ(WriteCapture(viewer, 4, 0x80000000), kInvalidSize);
    // The largest buffer there is, with a file twice its size.
    ASSERT_EQ(WriteCapture(viewer, 3, 128u << 20), 0u);
    ASSERT_EQ(WriteCapture(viewer, 4, 64u << 20), 0u);
    ASSERT_EQ(WriteCapture(viewer, 1, 1), 0u);
  }
  ASSERT_TRUE(logger->WaitOutput("Capturing has started.\n")) << logger->Output();
  auto traffic = m_router.StartTraffic({"--count", "0", "--duration", "120", "--rate", "2000",
                                        "--size", "256", "--mix", "read,write"});

  // Broken framing ends its own connection and nothing else.
  viewertest::FrameSpec reserved2;
  reserved2.reserved = 2;
  const struct {
    const char* name;
    Bytes bytes;
  } broken[] = {
      {"length 0", Prefixed(0, 0)},
      {"length 31", Prefixed(31, 31)},
      {"length 2^31", Prefixed(0x80000000u, 1000)},
      {"length 2^32-1", Prefixed(0xFFFFFFFFu, 1000)},
      {"reserved field 2", viewertest::EncodeFrame(reserved2)},
  };
  for (const auto& k : broken) {
    SCOPED_TRACE(k.name);
    RawPeer peer(m_port);
    ASSERT_TRUE(peer.Send(k.bytes));
    EXPECT_TRUE(peer.WaitClosed());
  }

  // Requests shorter than their fixed part go unanswered; a whole one that arrives byte by
  // byte, its prefix split every way, is answered.
  {
    RawPeer peer(m_port);
    const struct {
      WORD cmdId;
      size_t cbPayload;
    } cut[] = {{KRP_CMD_READ, 11},
               {KRP_CMD_WRITE, 11},
               {KRP_CMD_READWRITE, 15},
               {KRP_CMD_ADDDEVICENOTIFICATION, 7},
               {KRP_CMD_DELDEVICENOTIFICATION, 3}};
    DWORD invoke = 100;
    for (const auto& k : cut)
      ASSERT_TRUE(peer.Send(KrpRequest(k.cmdId, ++invoke, Bytes(k.cbPayload))));
    const Bytes whole =
        KrpRequest(KRP_CMD_READ, 7, Words({KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4}));
    for (BYTE b : whole) {
      ASSERT_TRUE(peer.Send({b}));
      OsUserSleep(1);
    }
    Frame f;
    ASSERT_TRUE(peer.ReadFrame(&f));
    EXPECT_EQ(f.head.hUser, 7u);
    EXPECT_EQ(f.data, Words({0, 4, 1})) << "capturing";
  }

  // Connections that send garbage and go.
  for (int i = 0; i < 200; ++i) {
    RawPeer garbage(m_port);
    garbage.Send({'G', 'E', 'T', ' ', '/', '\r', '\n', '\r', '\n'});
  }
  EXPECT_TRUE(Served());

  // A viewer that has frames pushed to it and stops reading keeps its place while it is
  // connected, without the daemon piling up what it cannot send; once it goes, the viewer
  // waiting behind it is served.
  {
    RawPeer stalled(m_port);
    ASSERT_EQ(Ask(stalled, KRP_CMD_READWRITE, 2,
                  Words({KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 4, 0})),
              0u);
    ASSERT_EQ(Ask(stalled, KRP_CMD_ADDDEVICENOTIFICATION, 3,
                  Words({KRPCOMM_IG_VIEW, 1, 65536, 4, 0, 10000, 0, 0, 0, 0})),
              0u);
    // Until what this side does not read fills its receive buffer (which does not grow
    // without reads), and a while longer, so that the daemon's writes back up.
    ASSERT_TRUE(vxtest::WaitUntil([&] {
      int queued = 0;
      return ioctl(stalled.Fd(), FIONREAD, &queued) == 0 && queued >= (64 << 10);
    })) << "no notifications arrived";
    OsUserSleep(1000);
    RawPeer next(m_port);
    ASSERT_TRUE(
        next.Send(KrpRequest(KRP_CMD_READ, 4, Words({KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4}))));
    stalled.Close();
    Frame f;
    ASSERT_TRUE(next.ReadFrame(&f));
    EXPECT_EQ(f.head.hUser, 4u);
  }

  // No buffer zeroed up front, no queue of what could not be sent: far below the 2 GiB the
  // largest sizes once cost, whatever the build.
  const long peak = PeakResidentKiB(logger->Pid());
  if (peak >= 0) {
    EXPECT_LT(peak, 384L << 10) << "peak resident memory in KiB";
  }

  traffic->Signal(SIGTERM);
  traffic->Wait();
  {
    RawPeer viewer(m_port);
    EXPECT_EQ(WriteCapture(viewer, 1, 2), 0u);
  }
  ASSERT_TRUE(logger->WaitOutput("Capturing has stopped.\n")) << logger->Output();
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
}

// Links in the boot folder to a file and a folder outside, to an empty file outside and to
// nothing yet, and a FIFO: nothing outside is read or written through them, the FIFO is
// answered at once, and the console names each refused path.
TEST_F(ListenAbuse, NamesInTheBootFolderThatLeadOutOrWouldBlockAreRefusedAndNamed) {
  const std::string out = m_dir / "out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  vxtest::WriteFileBytes(out + "/secret", {'s', 'e', 'c', 'r', 'e', 't'});
  vxtest::WriteFileBytes(out + "/empty.cap", {});
  ASSERT_EQ(symlink((out + "/secret").c_str(), (Boot() + "shadow.cap").c_str()), 0);
  ASSERT_EQ(symlink(out.c_str(), (Boot() + "linkdir").c_str()), 0);
  ASSERT_EQ(symlink((out + "/empty.cap").c_str(), (Boot() + "empty.cap").c_str()), 0);
  ASSERT_EQ(symlink((out + "/new.cap").c_str(), (Boot() + "new.cap").c_str()), 0);
  ASSERT_EQ(mkfifo((Boot() + "p.cap").c_str(), 0600), 0);

  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)});
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection")) << logger->Output();
  for (const char* name : {"shadow.cap", "linkdir/secret", "p.cap"}) {
    SCOPED_TRACE(name);
    std::string stdoutText, err;
    // Exit status 1: answered and refused (a request left without answer gives 3).
    EXPECT_EQ(View({"get", name, "-o", "-"}, &stdoutText, &err), 1) << err;
    EXPECT_NE(err.find("(0x70B)"), std::string::npos) << err;
    EXPECT_EQ(stdoutText.find("secret"), std::string::npos);
    EXPECT_TRUE(logger->WaitOutput("Refused the viewer's file " + Boot() + name))
        << logger->Output();
  }

  // A stopped capture with frames, so that a save would go through.
  ASSERT_EQ(View({"set", "single"}), 0);
  ASSERT_EQ(View({"start"}), 0);
  auto traffic = m_router.StartTraffic({"--count", "20"});
  EXPECT_EQ(traffic->Wait(), 0);
  ASSERT_EQ(View({"stop"}), 0);
  for (const char* name : {"linkdir/saved.cap", "empty.cap", "new.cap", "p.cap"}) {
    SCOPED_TRACE(name);
    std::string err;
    EXPECT_EQ(View({"save", name}, nullptr, &err), 1) << err;
    EXPECT_NE(err.find("(0x70B)"), std::string::npos) << err;
  }
  for (const char* name : {"empty.cap", "new.cap"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(View({"set", "savename", name}), 1);
  }
  EXPECT_EQ(vxtest::ReadFileBytes(out + "/empty.cap").size(), 0u);
  struct stat st {};
  EXPECT_NE(stat((out + "/saved.cap").c_str(), &st), 0);
  EXPECT_NE(stat((out + "/new.cap").c_str(), &st), 0);
  EXPECT_TRUE(Served());
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
}

// A connection that never says a word loses the one viewer place after 10 s, and viewers that
// vanish holding files give their slots back.
TEST_F(ListenAbuse, SilenceAndVanishedViewersDoNotHoldTheService) {
  vxtest::WriteFileBytes(Boot() + "data.bin", std::vector<unsigned char>(200000, 'd'));
  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)});
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection")) << logger->Output();
  {
    RawPeer silent(m_port);
    RawPeer next(m_port);
    ASSERT_TRUE(
        next.Send(KrpRequest(KRP_CMD_READ, 1, Words({KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4}))));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.WaitClosed(std::chrono::seconds(30)));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::seconds(9))
        << "closed before its time was up";
    Frame f;
    ASSERT_TRUE(next.ReadFrame(&f));
    EXPECT_EQ(f.head.hUser, 1u);
  }
  // Ten viewers, each gone in the middle of reading a file it opened.
  for (DWORD i = 0; i < 10; ++i) {
    RawPeer viewer(m_port);
    ASSERT_EQ(OpenFile(viewer, 10 + i, "data.bin"), 0u) << i;
    ASSERT_TRUE(
        viewer.Send(KrpRequest(KRP_CMD_READWRITE, 30 + i,
                               Words({KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, 4096, 4, 0}))));
  }
  RawPeer last(m_port);
  EXPECT_EQ(OpenFile(last, 50, "data.bin"), 0u) << "a file slot is free";
  last.Close();
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
}

// A settings document too large or not one at all: the start is refused with 0x70B, nothing
// starts, and the console says which document and why.
TEST_F(ListenAbuse, ASettingsDocumentThatIsNotTakenIsReportedAndRefusesTheStart) {
  std::string big = "<VxNmxLogger><CaptureInfo/><!--";
  big += std::string((1 << 20) + 1 - big.size(), 'x');
  const struct {
    const char* file;
    std::string text;
    const char* why;
  } docs[] = {{"big.xml", big, "larger than 1048576 bytes"},
              {"cut.xml", "<VxNmxLogger><CaptureInfo>", "not a settings document"},
              {"empty.xml", "<VxNmxLogger/>", "no VxNmxLogger element with settings"},
              // A name that would drive the operator's terminal is shown harmless.
              {"esc\x1b[2J.xml", "<", "not a settings document"}};
  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)});
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection")) << logger->Output();
  for (const auto& d : docs) {
    SCOPED_TRACE(d.file);
    const std::string path = m_dir / d.file;
    vxtest::WriteFileBytes(path, std::vector<unsigned char>(d.text.begin(), d.text.end()));
    std::string err;
    EXPECT_EQ(View({"start", path}, nullptr, &err), 1) << err;
    EXPECT_NE(err.find("(0x70B)"), std::string::npos) << err;
    std::string shown = path;
    for (char& ch : shown)
      if (ch == '\x1b') ch = '?';
    EXPECT_TRUE(logger->WaitOutput("Ignoring settings document " + shown + ": " + d.why))
        << logger->Output();
  }
  std::string status;
  EXPECT_EQ(View({"status"}, &status), 0);
  EXPECT_NE(status.find("stopped"), std::string::npos) << status;
  EXPECT_EQ(vxtest::ChildProcess::Count(logger->Output(), "Capturing has started."), 0);
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
}

}  // namespace
