// The trigger of follow, serve and nmx-extcap: which frame fires it, when the capture is due to
// stop after it, and how its frame is found again in the capture file the logger saved.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "nmx/NmxTypes.h"
#include "viewclient/FrameRecords.h"
#include "viewclient/FrameTrigger.h"
#include "viewclient/SavedFrameFinder.h"

namespace {

using namespace viewtest;

constexpr WORD kRead = 2, kWrite = 3, kReq = 0x0004, kRes = 0x0005;

Bytes Data(std::initializer_list<DWORD> values, size_t extra = 0) {
  Bytes b;
  for (DWORD v : values) Put32(b, v);
  b.resize(b.size() + extra, 0xAB);
  return b;
}

std::string Describe(const TriggerSpec& s) {
  std::string d;
  if (s.bError) d += " error";
  if (s.bSlow) d += " slow=" + std::to_string(s.nSlowMs);
  if (s.bUnanswered) d += " unanswered=" + std::to_string(s.nUnansweredMs);
  if (!s.address.empty()) d += " address=" + s.address;
  if (s.bPort) d += " port=" + std::to_string(s.nPort);
  if (s.bCommand) d += " command=" + std::to_string(s.nCommand);
  if (s.bGroup) d += " group=" + std::to_string(s.nGroup);
  return d.empty() ? d : d.substr(1);
}

TEST(TriggerSpec, TakesEachWordJoinedByCommasAndRefusesAnythingElse) {
  const std::pair<const char*, const char*> good[] = {
      {"error", "error"},
      {"slow:0", "slow=0"},
      {"unanswered:1500", "unanswered=1500"},
      {"address:5.1.204.160.1.1", "address=5.1.204.160.1.1"},
      {"address:5", "address=5"},
      {"port:851", "port=851"},
      {"command:readwrite", "command=9"},
      {"command:12", "command=12"},
      {"group:0x4020", "group=16416"},
      {"group:16416", "group=16416"},
      {"error,port:851,command:Write", "error port=851 command=3"},
  };
  for (const auto& g : good) {
    SCOPED_TRACE(g.first);
    TriggerSpec spec;
    std::string error;
    ASSERT_TRUE(ParseTriggerSpec(g.first, &spec, &error)) << error;
    EXPECT_EQ(g.second, Describe(spec));
    EXPECT_EQ(g.first, spec.text);
  }
  const std::pair<const char*, const char*> bad[] = {
      {"", "no trigger"},
      {"errors", "'errors' is no trigger"},
      {"error,", "'' is no trigger"},
      {"slow", "'slow' is no trigger"},
      {"slow:fast", "slow takes milliseconds"},
      {"slow:86400001", "slow takes milliseconds"},
      {"unanswered:0", "unanswered takes milliseconds (1 to"},
      {"address:5.1.300", "not a NetId"},
      {"address:1.2.3.4.5.6.7", "not a NetId"},
      {"address:5..1", "not a NetId"},
      {"port:65536", "from 0 to 65535"},
      {"command:Nope", "not a command"},
      {"command:0", "not a command"},
      {"group:0x", "must be a number"},
      {"slow:5,unanswered:5", "cannot be slow and missing at once"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.first);
    TriggerSpec spec;
    std::string error;
    EXPECT_FALSE(ParseTriggerSpec(b.first, &spec, &error));
    EXPECT_NE(std::string::npos, error.find(b.second)) << error;
  }
}

// Frames as they come: a Read answered at once, a Write to another port answered with a KRP
// failure, a Read answered late, and an NMX error without any request.
std::vector<Bytes> Traffic() {
  return {
      Record(kT0, kRead, kReq, 1, Data({0x4020, 1, 4})),
      Record(kT0 + 1 * kMs, kRead, kRes, 1, Data({0, 4}, 4)),
      Record(kT0 + 2 * kMs, kWrite, kReq, 2, Data({0xF020, 0, 4}, 4), 0, 852),
      Record(kT0 + 3 * kMs, kWrite, kRes, 2, Data({0x706}), 0, 852),
      Record(kT0 + 4 * kMs, kRead, kReq, 3, Data({0x4020, 2, 4})),
      Record(kT0 + 64 * kMs, kRead, kRes, 3, Data({0, 4}, 4)),
      Record(kT0 + 65 * kMs, 12, 0x0001, 0, {}, 6),
  };
}

// Feeds the frames and returns the number of the frame that fired the trigger, or -1.
long Fired(CFrameTrigger& trigger, const std::vector<Bytes>& frames) {
  for (size_t i = 0; i < frames.size(); ++i)
    if (trigger.Frame(i, frames[i].data(), static_cast<DWORD>(frames[i].size())))
      return static_cast<long>(trigger.Trigger().nFrame);
  return -1;
}

CFrameTrigger Make(const std::string& what, TriggerStop stop = {}) {
  TriggerSpec spec;
  std::string error;
  EXPECT_TRUE(ParseTriggerSpec(what, &spec, &error)) << error;
  return CFrameTrigger(spec, stop);
}

TEST(FrameTrigger, FiresOnTheFirstFrameForWhichEveryWordHolds) {
  const std::pair<const char*, long> cases[] = {
      {"error", 3},
      {"error,port:851", 6},
      {"command:Write", 2},
      {"command:ReadWrite", -1},
      {"group:0x4020", 0},
      // A response has the index group of the request it answers.
      {"group:0xF020,error", 3},
      {"slow:50", 5},
      {"slow:0", 1},
      {"slow:50,group:0xF020", -1},
      {"address:5.1.204", 0},
      {"address:5.1.20", -1},
      {"port:852", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    CFrameTrigger trigger = Make(c.first);
    EXPECT_EQ(c.second, Fired(trigger, Traffic()));
    EXPECT_EQ(c.second >= 0, trigger.Fired());
  }

  CFrameTrigger error = Make("error");
  ASSERT_EQ(3, Fired(error, Traffic()));
  EXPECT_EQ("error", error.Trigger().why);
  EXPECT_EQ(0u, error.Trigger().line.rfind("3 2024-05-01 12:00:00.003000 5.1.204.160.1.1:852 -> "
                                           "5.1.204.160.1.1:30000 Write(3) res flags=0x0005 "
                                           "invoke=2 err=0 len=4 result=0x706",
                                           0))
      << error.Trigger().line;
  CFrameTrigger slow = Make("slow:50");
  ASSERT_EQ(5, Fired(slow, Traffic()));
  EXPECT_EQ("answered after 60.000 ms", slow.Trigger().why);
  EXPECT_EQ(kT0 + 64 * kMs, slow.Trigger().nTime);
  EXPECT_EQ(3u, slow.Trigger().invokeId);
  EXPECT_EQ(kRes, slow.Trigger().stateFlags);
}

TEST(FrameTrigger, ARequestLeftWithoutAnswerFiresOnceItsTimeHasPassedByFramesOrByTheClock) {
  const std::vector<Bytes> frames = {
      Record(kT0, kRead, kReq, 1, Data({0x4020, 1, 4})),
      Record(kT0 + 10 * kMs, kRead, kReq, 2, Data({0x4020, 2, 4})),
      Record(kT0 + 20 * kMs, kRead, kRes, 2, Data({0, 4}, 4)),
      Record(kT0 + 70 * kMs, kRead, kReq, 3, Data({0x4020, 3, 4})),
  };
  CFrameTrigger late = Make("unanswered:50");
  // Frame 3 shows that frame 0 waited too long: it counts as the first frame after it.
  EXPECT_EQ(0, Fired(late, frames));
  EXPECT_EQ(1u, late.FramesAfter());
  EXPECT_EQ("no answer within 50 ms", late.Trigger().why);
  EXPECT_EQ(0u, late.Trigger().line.rfind("0 2024-05-01 12:00:00.000000 5.1.204.160.1.1:30000 -> "
                                          "5.1.204.160.1.1:851 Read(2) req flags=0x0004 invoke=1",
                                          0))
      << late.Trigger().line;
  CFrameTrigger elsewhere = Make("unanswered:50,port:852");
  EXPECT_EQ(-1, Fired(elsewhere, frames));
  CFrameTrigger patient = Make("unanswered:100");
  EXPECT_EQ(-1, Fired(patient, frames));

  // No frame comes after the request: the clock tells.
  CFrameTrigger quiet = Make("unanswered:50");
  ASSERT_EQ(-1, Fired(quiet, {frames[0]}));
  const auto now = CFrameTrigger::Clock::now();
  EXPECT_FALSE(quiet.Tick(now + std::chrono::milliseconds(40)));
  EXPECT_TRUE(quiet.Tick(now + std::chrono::milliseconds(60)));
  EXPECT_EQ(0u, quiet.Trigger().nFrame);
  EXPECT_EQ(0u, quiet.FramesAfter());
}

TEST(FrameTrigger, TheStopComesDueAfterTheFramesOrTheTimeAskedFor) {
  const std::vector<Bytes> frames = Traffic();
  TriggerStop three;
  three.nFrames = 3;
  CFrameTrigger byFrames = Make("error", three);
  for (size_t i = 0; i < frames.size(); ++i) {
    byFrames.Frame(i, frames[i].data(), static_cast<DWORD>(frames[i].size()));
    // Fired by frame 3; frames 4, 5 and 6 follow it.
    EXPECT_EQ(i == 6, byFrames.StopDue()) << i;
  }
  EXPECT_EQ(3u, byFrames.FramesAfter());

  CFrameTrigger atOnce = Make("error");
  EXPECT_FALSE(atOnce.StopDue());
  Fired(atOnce, frames);
  EXPECT_TRUE(atOnce.StopDue());

  TriggerStop later;
  later.bByTime = true;
  later.nMs = 100;
  CFrameTrigger byTime = Make("error", later);
  ASSERT_EQ(3, Fired(byTime, frames));
  const auto now = CFrameTrigger::Clock::now();
  EXPECT_FALSE(byTime.StopDue(now));
  EXPECT_TRUE(byTime.StopDue(now + std::chrono::milliseconds(150)));
}

// A capture file of these records, as the logger saves one.
Bytes CaptureFile(const std::vector<Bytes>& records) {
  Bytes file(vxcap::kHeaderSize);
  Bytes table;
  for (const Bytes& r : records) {
    Put32(table, static_cast<DWORD>(file.size()));
    file.insert(file.end(), r.begin(), r.end());
  }
  SYSTEMTIME st{};
  vxcap::EncodeHeader(file.data(), st, static_cast<DWORD>(file.size()),
                      static_cast<DWORD>(table.size()));
  file.insert(file.end(), table.begin(), table.end());
  return file;
}

TriggerFrame KeyOf(const Bytes& record) {
  const NmxHead h = DecodeNmxHead(record.data() + vxcap::kPacketOffset);
  TriggerFrame t;
  t.nTime = vxcap::DecodeRecordHead(record.data()).timeStamp;
  t.sender = h.sender;
  t.target = h.target;
  t.cmdId = h.cmdId;
  t.stateFlags = h.stateFlags;
  t.invokeId = h.hUser;
  return t;
}

TEST(SavedFrameFinder, FindsTheFrameByItsTimeAndHeaderHoweverTheBytesArrive) {
  using State = CSavedFrameFinder::State;
  const std::vector<Bytes> records = {
      Record(kT0, kRead, kReq, 1, Data({0x4020, 1, 4})),
      Record(kT0, kRead, kReq, 2, Data({0x4020, 1, 4})),  // same time, another invoke id
      Record(kT0 + kMs, kRead, kRes, 2, Data({0, 200}, 200)),
  };
  const Bytes file = CaptureFile(records);
  Bytes foreign = file;
  foreign[0] = 'X';
  Bytes damaged = file;
  damaged[vxcap::kHeaderSize + vxcap::kRecFrameLength + 3] = 0x7F;  // runs past the records
  // Ends inside the second record, behind its head.
  const Bytes cut(file.begin(), file.begin() + vxcap::kHeaderSize + records[0].size() + 70);
  const Bytes empty = CaptureFile({});
  TriggerFrame other = KeyOf(records[1]);
  other.invokeId = 7;

  struct Case {
    const char* what;
    const Bytes& bytes;
    size_t chunk;
    TriggerFrame key;
    State state;
    uint64_t index;
  };
  const Case cases[] = {
      {"whole", file, 1 << 20, KeyOf(records[1]), State::kFound, 1},
      {"byte by byte", file, 1, KeyOf(records[2]), State::kFound, 2},
      {"in pieces across records", file, 7, KeyOf(records[0]), State::kFound, 0},
      {"not there", file, 13, other, State::kAbsent, 3},
      {"no records", empty, 5, other, State::kAbsent, 0},
      {"not a capture", foreign, 64, KeyOf(records[0]), State::kNotACapture, 0},
      {"a record beyond the frame table", damaged, 64, other, State::kDamaged, 0},
      {"cut short", cut, 64, other, State::kDamaged, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CSavedFrameFinder finder(c.key);
    size_t at = 0;
    while (at < c.bytes.size() &&
           finder.Add(c.bytes.data() + at, std::min(c.chunk, c.bytes.size() - at)))
      at += c.chunk;
    if (at >= c.bytes.size()) finder.End();
    EXPECT_EQ(c.state, finder.Result());
    EXPECT_EQ(c.index, finder.Index());
    if (c.state == State::kFound) {
      EXPECT_EQ(3u, finder.Frames());
    }
  }

  SavedFramePlace place;
  place.file = "/boot/run.cap";
  place.state = State::kFound;
  place.nIndex = 1;
  place.nFrames = 3;
  EXPECT_EQ("frame 1 of 3 in /boot/run.cap (1 before it, 1 after it)", SavedFramePlaceText(place));
}

}  // namespace
