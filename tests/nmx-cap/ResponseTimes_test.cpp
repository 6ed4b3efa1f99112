// Requests and their answers in stats and dump: rows per target and command, exact
// percentiles, the requests without an answer, and the frames dump selects by them; checked
// against captures built here and one recorded from nmx-traffic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "MiniJson.h"
#include "NmxCapTestUtil.h"
#include "common/RecordingPort.h"
#include "common/RouterProcess.h"
#include "nmx/KrpTypes.h"

namespace {

using namespace captool;

constexpr WORD kReq = NMX_FLAG_KRP_COMMAND;
constexpr WORD kRes = NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE;
constexpr LONGLONG kUs = 10;

// The nearest-rank percentile of whole microseconds.
uint64_t Percentile(std::vector<uint64_t> v, unsigned pct) {
  std::sort(v.begin(), v.end());
  return v[(v.size() * pct + 99) / 100 - 1];
}

Json StatsJson(const std::vector<std::string>& args) {
  const ToolRun r = RunTool(args);
  EXPECT_EQ(0, r.status) << r.err;
  Json j;
  EXPECT_TRUE(CJsonReader::Parse(r.out, &j)) << r.out;
  return j;
}

const Json* FindRow(const Json& stats, const std::string& target, const std::string& command,
                    long long group = -1) {
  for (const Json& row : stats["responseTimes"].items) {
    if (row["target"].text != target || row["command"].text != command) continue;
    if ((group < 0) != !row.Has("indexGroup")) continue;
    if (group >= 0 && row["indexGroup"].Int() != group) continue;
    return &row;
  }
  return nullptr;
}

// Frames built here: Reads to the server whose answers take from 1 us to 20 s, so that the
// percentiles need more than one pass; then requests that meet each rule.
struct Built {
  std::vector<Frame> frames;
  std::vector<uint64_t> readUs;  // of each Read, in order
  std::vector<DWORD> readFrames;
};

Built BuildCapture() {
  Built b;
  LONGLONG t = kT0;
  for (DWORD i = 0; i < 300; ++i) {
    const uint64_t us = (i * 7919ull % 1000) * 20000 + i + 1;
    b.readFrames.push_back(static_cast<DWORD>(b.frames.size()));
    b.frames.push_back(
        {t, Packet(kServer, kClient, KRP_CMD_READ, kReq, i + 1, U32s({0x4020, i, 4}))});
    t += static_cast<LONGLONG>(us) * kUs;
    b.frames.push_back({t, Packet(kClient, kServer, KRP_CMD_READ, kRes, i + 1, U32s({0, 0}))});
    b.readUs.push_back(us);
    t += kMs;
  }
  const std::vector<Frame> rules = {
      // 600: answered with a KRP error; 602: answered with an NMX error; 604: never answered
      {t, Packet(kServer, kClient, KRP_CMD_WRITE, kReq, 1000, U32s({0x4021, 0, 0}))},
      {t + 50 * kUs, Packet(kClient, kServer, KRP_CMD_WRITE, kRes, 1000, U32s({0x705}))},
      {t + kMs, Packet(kServer, kClient, KRP_CMD_WRITE, kReq, 1001, U32s({0x4021, 0, 0}))},
      {t + kMs + 70 * kUs, Packet(kClient, kServer, KRP_CMD_WRITE, kRes, 1001, {}, 11)},
      {t + 2 * kMs, Packet(kServer, kClient, KRP_CMD_WRITE, kReq, 1002, U32s({0x4021, 0, 0}))},
      // 605, 606: one invoke id twice before its answer (607): the first is given up
      {t + 3 * kMs, Packet(kOther, kClient, KRP_CMD_READSTATE, kReq, 7, {})},
      {t + 4 * kMs, Packet(kOther, kClient, KRP_CMD_READSTATE, kReq, 7, {})},
      {t + 4 * kMs + 9 * kUs, Packet(kClient, kOther, KRP_CMD_READSTATE, kRes, 7, U32s({0, 0}))},
      // 608: an answer nobody asked for
      {t + 5 * kMs, Packet(kClient, kOther, KRP_CMD_READ, kRes, 99, U32s({0, 0}))},
  };
  b.frames.insert(b.frames.end(), rules.begin(), rules.end());
  return b;
}

TEST(Stats, RowsCountEachRuleAndThePercentilesAreExact) {
  vxtest::TempDir dir;
  const Built b = BuildCapture();
  const std::string cap = WriteCapture(dir, "x.cap", b.frames);
  const Json j = StatsJson({"stats", cap, "--json", "--slowest", "3"});
  EXPECT_EQ(609, j["frames"].Int());

  const std::string server = "5.1.204.160.1.1:851", other = "10.0.0.7.1.1:10502";
  const Json* reads = FindRow(j, server, "Read", 0x4020);
  ASSERT_TRUE(reads);
  EXPECT_EQ(300, (*reads)["requests"].Int());
  EXPECT_EQ(300, (*reads)["answered"].Int());
  EXPECT_EQ(0, (*reads)["unanswered"].Int());
  EXPECT_EQ(0, (*reads)["errors"].Int());
  EXPECT_EQ(static_cast<long long>(*std::min_element(b.readUs.begin(), b.readUs.end())),
            (*reads)["minUs"].Int());
  EXPECT_EQ(static_cast<long long>(Percentile(b.readUs, 50)), (*reads)["p50Us"].Int());
  EXPECT_EQ(static_cast<long long>(Percentile(b.readUs, 99)), (*reads)["p99Us"].Int());
  EXPECT_EQ(static_cast<long long>(*std::max_element(b.readUs.begin(), b.readUs.end())),
            (*reads)["maxUs"].Int());

  const Json* writes = FindRow(j, server, "Write", 0x4021);
  ASSERT_TRUE(writes);
  EXPECT_EQ(3, (*writes)["requests"].Int());
  EXPECT_EQ(2, (*writes)["answered"].Int());
  EXPECT_EQ(1, (*writes)["unanswered"].Int());
  EXPECT_EQ(2, (*writes)["errors"].Int());
  EXPECT_EQ(1, (*writes)["errorCodes"]["krp:0x705"].Int());
  EXPECT_EQ(1, (*writes)["errorCodes"]["nmx:11"].Int());
  EXPECT_EQ(50, (*writes)["minUs"].Int());
  EXPECT_EQ(50, (*writes)["p50Us"].Int());
  EXPECT_EQ(70, (*writes)["p99Us"].Int());

  const Json* states = FindRow(j, other, "ReadState");
  ASSERT_TRUE(states);
  EXPECT_EQ(2, (*states)["requests"].Int());
  EXPECT_EQ(1, (*states)["answered"].Int());
  EXPECT_EQ(1, (*states)["unanswered"].Int());
  EXPECT_EQ(9, (*states)["maxUs"].Int());

  // The answer without a request counts for its sender, the target a request would have had.
  const Json* orphans = FindRow(j, other, "Read");
  ASSERT_TRUE(orphans);
  EXPECT_EQ(0, (*orphans)["requests"].Int());
  EXPECT_EQ(1, (*orphans)["noRequest"].Int());
  EXPECT_TRUE((*orphans)["p50Us"].IsNull());
  EXPECT_EQ(4u, j["responseTimes"].items.size());

  const std::vector<Json>& unanswered = j["unanswered"].items;
  ASSERT_EQ(2u, unanswered.size());
  EXPECT_EQ(604, unanswered[0]["frame"].Int());
  EXPECT_EQ("Write", unanswered[0]["command"].text);
  EXPECT_EQ(1002, unanswered[0]["invokeId"].Int());
  EXPECT_EQ("5.1.204.160.1.1:30000", unanswered[0]["sender"].text);
  EXPECT_EQ(server, unanswered[0]["target"].text);
  EXPECT_EQ(605, unanswered[1]["frame"].Int());
  EXPECT_EQ("invoke id reused", unanswered[1]["reason"].text);
  EXPECT_EQ(0u, unanswered[1]["time"].text.find("2024-05-0")) << unanswered[1]["time"].text;

  // The three slowest, slowest first, with the frames of request and answer.
  std::vector<size_t> order(b.readUs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    return b.readUs[x] != b.readUs[y] ? b.readUs[x] > b.readUs[y] : x < y;
  });
  const std::vector<Json>& slowest = j["slowest"].items;
  ASSERT_EQ(3u, slowest.size());
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(b.readFrames[order[i]], slowest[i]["frame"].Int());
    EXPECT_EQ(b.readFrames[order[i]] + 1, slowest[i]["responseFrame"].Int());
    EXPECT_EQ(static_cast<long long>(b.readUs[order[i]]), slowest[i]["us"].Int());
  }

  // The same as text.
  const ToolRun text = RunTool({"stats", cap});
  ASSERT_EQ(0, text.status) << text.err;
  EXPECT_NE(std::string::npos, text.out.find("errors: krp:0x705 x1, nmx:11 x1")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("Requests without an answer: 2\n")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("Responses without a request: 1\n")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("  frame 605 ")) << text.out;
}

TEST(Stats, ATimeOutCountsSlowerAnswersAsLateAndTheirRequestsAsUnanswered) {
  vxtest::TempDir dir;
  const Built b = BuildCapture();
  const std::string cap = WriteCapture(dir, "x.cap", b.frames);
  const Json j = StatsJson({"stats", cap, "--json", "--timeout", "2000.5"});
  std::vector<uint64_t> inTime;
  for (uint64_t us : b.readUs)
    if (us <= 2000500) inTime.push_back(us);
  ASSERT_LT(inTime.size(), b.readUs.size());
  const Json* reads = FindRow(j, "5.1.204.160.1.1:851", "Read", 0x4020);
  ASSERT_TRUE(reads);
  const long long late = static_cast<long long>(b.readUs.size() - inTime.size());
  EXPECT_EQ(static_cast<long long>(inTime.size()), (*reads)["answered"].Int());
  EXPECT_EQ(late, (*reads)["late"].Int());
  EXPECT_EQ(late, (*reads)["unanswered"].Int());
  EXPECT_EQ(static_cast<long long>(Percentile(inTime, 99)), (*reads)["p99Us"].Int());
  EXPECT_EQ(static_cast<long long>(late + 2), static_cast<long long>(j["unanswered"].items.size()));
  EXPECT_EQ("timed out", j["unanswered"].items[0]["reason"].text);
}

// The frame numbers of dump's lines.
std::vector<int> DumpedFrames(const std::string& out) {
  std::vector<int> frames;
  for (const std::string& line : Lines(out)) frames.push_back(std::atoi(line.c_str()));
  return frames;
}

TEST(Dump, AnswersShowTheirTimeAndThePairingSelectionsTakeRequestAndAnswer) {
  vxtest::TempDir dir;
  Built b = BuildCapture();
  // Two Reads and the rules: the Reads take 1 us and 20 ms.
  b.frames.erase(b.frames.begin() + 4, b.frames.begin() + 600);
  b.frames[3].time = b.frames[2].time + 20000 * kUs;
  const std::string cap = WriteCapture(dir, "x.cap", b.frames);

  const ToolRun all = RunTool({"dump", cap});
  ASSERT_EQ(0, all.status) << all.err;
  const std::vector<std::string> lines = Lines(all.out);
  ASSERT_EQ(13u, lines.size());
  EXPECT_EQ(" rt=1us", lines[1].substr(lines[1].size() - 7)) << lines[1];
  EXPECT_EQ(" rt=20000us", lines[3].substr(lines[3].size() - 11)) << lines[3];
  EXPECT_EQ(std::string::npos, lines[0].find("rt=")) << lines[0];
  EXPECT_EQ(std::string::npos, lines[12].find("rt=")) << lines[12];  // no request

  struct Case {
    std::vector<std::string> options;
    std::vector<int> frames;
  };
  const Case cases[] = {
      {{"--errors"}, {4, 5, 6, 7}},
      {{"--unanswered"}, {8, 9}},
      {{"--slower-than", "0.05"}, {2, 3, 6, 7}},
      {{"--slower-than=20"}, {}},
      {{"--slower-than", "19.999"}, {2, 3}},
      {{"--errors", "--unanswered", "--port", "10502"}, {9}},
      {{"--errors", "--count", "1"}, {4}},
      // Pairing starts at the first frame dumped: an answer to an earlier request stands alone.
      {{"--from", "5", "--errors"}, {5, 6, 7}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"dump", cap};
    args.insert(args.end(), c.options.begin(), c.options.end());
    SCOPED_TRACE(testing::PrintToString(c.options));
    const ToolRun r = RunTool(args);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(c.frames, DumpedFrames(r.out)) << r.out;
  }

  const ToolRun json = RunTool({"dump", cap, "--json", "--from", "2", "--count", "2"});
  const std::vector<std::string> objects = Lines(json.out);
  ASSERT_EQ(2u, objects.size());
  Json request, answer;
  ASSERT_TRUE(CJsonReader::Parse(objects[0], &request)) << objects[0];
  ASSERT_TRUE(CJsonReader::Parse(objects[1], &answer)) << objects[1];
  EXPECT_FALSE(request.Has("rtUs"));
  EXPECT_EQ(20000, answer["rtUs"].Int());
  EXPECT_EQ(2, answer["requestFrame"].Int());
}

// nmx-traffic through the router with a recording port on 2, written as the logger writes
// the frames: the router's time stamp becomes the frame time.
std::vector<Frame> RecordTraffic(const vxtest::TempDir& dir, int ops, int errorsPercent) {
  vxtest::RouterProcess router(dir);
  EXPECT_TRUE(router.Started()) << router.Output();
  setenv("VX_ROUTER_DEVICE", router.Socket().c_str(), 1);
  std::vector<Frame> frames;
  {
    vxtest::RecordingPort logger(2);
    logger.SetDispatch(false);
    EXPECT_TRUE(logger.NmxConnect(NMX_PORT_PREVIOUS, 4096, 4096));
    EXPECT_TRUE(router.RunTraffic({"--count", std::to_string(ops), "--rate", "0", "--size", "16",
                                   "--mix", "read,write,readwrite,readstate", "--errors",
                                   std::to_string(errorsPercent)}));
    EXPECT_TRUE(logger.WaitCount(2 * static_cast<size_t>(ops))) << logger.Count();
    for (const std::vector<uint8_t>& cmd : logger.Received()) {
      NmxHead h;
      std::memcpy(&h, cmd.data(), sizeof h);
      EXPECT_TRUE(h.stateFlags & NMX_FLAG_TIMESTAMP);
      if (!(h.stateFlags & NMX_FLAG_TIMESTAMP) || cmd.size() < NMX_HEAD_SIZE + 8) continue;
      LONGLONG time;
      std::memcpy(&time, cmd.data() + cmd.size() - 8, 8);
      Bytes packet(cmd.begin(), cmd.end() - 8);
      h.cbData -= 8;
      h.stateFlags &= ~NMX_FLAG_TIMESTAMP;
      std::memcpy(packet.data(), &h, sizeof h);
      frames.push_back({time, packet});
    }
  }
  unsetenv("VX_ROUTER_DEVICE");
  return frames;
}

// The commands nmx-traffic sends, by id.
std::string CommandName(WORD id) {
  const std::map<WORD, std::string> names = {{KRP_CMD_READ, "Read"},
                                             {KRP_CMD_WRITE, "Write"},
                                             {KRP_CMD_READSTATE, "ReadState"},
                                             {KRP_CMD_READWRITE, "ReadWrite"}};
  return names.count(id) ? names.at(id) : "?";
}

std::string AddrText(const NmxAddr& a) {
  char buf[64];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u.%u.%u:%u", a.netId.b[0], a.netId.b[1], a.netId.b[2],
           a.netId.b[3], a.netId.b[4], a.netId.b[5], a.port);
  return buf;
}

TEST(Stats, AgreesWithAnIndependentCountOfRecordedTraffic) {
  vxtest::TempDir dir;
  std::vector<Frame> recorded = RecordTraffic(dir, 400, 5);
  ASSERT_EQ(800u, recorded.size());

  // Every 37th answer and every 41st request are left out of the capture: requests without
  // an answer, answers without a request.
  struct Expect {
    long long requests = 0, answered = 0, errors = 0, noRequest = 0;
    std::vector<uint64_t> us;
  };
  using Key = std::tuple<std::string, std::string, long long>;  // target, command, group
  std::map<Key, Expect> expected;
  std::map<DWORD, std::pair<Key, LONGLONG>> open;   // invoke id -> row, request time
  std::vector<std::pair<DWORD, DWORD>> unanswered;  // frame, invoke id
  std::map<DWORD, DWORD> frameOf;
  std::vector<Frame> kept;
  int nRequests = 0, nAnswers = 0;
  long long totalErrors = 0;
  for (const Frame& f : recorded) {
    NmxHead h;
    std::memcpy(&h, f.packet.data(), sizeof h);
    const BYTE* data = f.packet.data() + NMX_HEAD_SIZE;
    const bool grouped = h.cmdId != KRP_CMD_READSTATE;
    const long long group = grouped ? static_cast<long long>(vx::DecodeLE32(data)) : -1;
    if (!(h.stateFlags & NMX_FLAG_RESPONSE)) {
      if (++nRequests % 41 == 0) continue;
      const Key key{AddrText(h.target), CommandName(h.cmdId), group};
      ++expected[key].requests;
      open[h.hUser] = {key, f.time};
      frameOf[h.hUser] = static_cast<DWORD>(kept.size());
      kept.push_back(f);
      continue;
    }
    const bool error = h.errCode != 0 || (h.cbData >= 4 && vx::DecodeLE32(data) != 0);
    totalErrors += error;
    const bool dropped = ++nAnswers % 37 == 0;
    auto it = open.find(h.hUser);
    if (dropped) {
      if (it != open.end()) unanswered.push_back({frameOf[h.hUser], h.hUser});
      if (it != open.end()) open.erase(it);
      continue;
    }
    kept.push_back(f);
    if (it == open.end()) {
      Expect& e = expected[{AddrText(h.sender), CommandName(h.cmdId), -1}];
      ++e.noRequest;
      e.errors += error;
      continue;
    }
    Expect& e = expected[it->second.first];
    ++e.answered;
    e.errors += error;
    e.us.push_back(static_cast<uint64_t>(f.time - it->second.second) / 10);
    open.erase(it);
  }
  ASSERT_TRUE(open.empty());
  EXPECT_GT(totalErrors, 5);  // 5 % of 400

  const std::string cap = WriteCapture(dir, "traffic.cap", kept);
  const Json j = StatsJson({"stats", cap, "--json"});
  EXPECT_EQ(static_cast<long long>(kept.size()), j["frames"].Int());
  EXPECT_EQ(expected.size(), j["responseTimes"].items.size());
  for (const auto& [key, e] : expected) {
    const auto& [target, command, group] = key;
    SCOPED_TRACE(target + " " + command + " " + std::to_string(group));
    const Json* row = FindRow(j, target, command, group);
    ASSERT_TRUE(row);
    EXPECT_EQ(e.requests, (*row)["requests"].Int());
    EXPECT_EQ(e.answered, (*row)["answered"].Int());
    EXPECT_EQ(e.requests - e.answered, (*row)["unanswered"].Int());
    EXPECT_EQ(e.errors, (*row)["errors"].Int());
    EXPECT_EQ(e.noRequest, (*row)["noRequest"].Int());
    if (e.us.empty()) continue;
    EXPECT_EQ(static_cast<long long>(*std::min_element(e.us.begin(), e.us.end())),
              (*row)["minUs"].Int());
    EXPECT_EQ(static_cast<long long>(Percentile(e.us, 50)), (*row)["p50Us"].Int());
    EXPECT_EQ(static_cast<long long>(Percentile(e.us, 99)), (*row)["p99Us"].Int());
    EXPECT_EQ(static_cast<long long>(*std::max_element(e.us.begin(), e.us.end())),
              (*row)["maxUs"].Int());
  }
  std::sort(unanswered.begin(), unanswered.end());
  const std::vector<Json>& listed = j["unanswered"].items;
  ASSERT_EQ(unanswered.size(), listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(unanswered[i].first, listed[i]["frame"].Int());
    EXPECT_EQ(unanswered[i].second, listed[i]["invokeId"].Int());
  }
}

}  // namespace
