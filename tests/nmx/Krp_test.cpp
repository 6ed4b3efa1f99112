#include "nmx/Krp.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

typedef std::vector<BYTE> Bytes;

// Little-endian byte strings for expected payloads.
class LE {
 public:
  LE& u8(unsigned v) { return put(v, 1); }
  LE& u16(unsigned v) { return put(v, 2); }
  LE& u32(uint32_t v) { return put(v, 4); }
  LE& u64(uint64_t v) { return put(v, 8); }
  LE& raw(const Bytes& b) {
    m_b.insert(m_b.end(), b.begin(), b.end());
    return *this;
  }
  LE& text(const char* s, size_t field) {
    size_t n = strlen(s);
    for (size_t i = 0; i < field; ++i) m_b.push_back(i < n ? static_cast<BYTE>(s[i]) : 0);
    return *this;
  }
  operator Bytes() const { return m_b; }

 private:
  LE& put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) m_b.push_back(static_cast<BYTE>(v >> (8 * i)));
    return *this;
  }
  Bytes m_b;
};

const NmxAddr kPeer({{5, 1, 204, 160, 1, 1}}, 851);
const NmxAddr kSource({{10, 0, 0, 7, 1, 1}}, 30000);

struct Sent {
  char hook;  // 'Q' request, 'F' forward, 'R' response
  NmxAddr source;
  NmxAddr target;
  DWORD invokeId;
  WORD cmdId;
  Bytes payload;
};

// A binding that records what the engine hands to its transport hooks.
class CRecordingKrp : public CKrp {
 public:
  DWORD KrpRequest(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                   const void* payload) override {
    return Record('Q', NmxAddr(), target, invokeId, cmdId, length, payload);
  }
  DWORD KrpForward(const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                   DWORD length, const void* payload) override {
    return Record('F', source, target, invokeId, cmdId, length, payload);
  }
  DWORD KrpResponse(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                    const void* payload) override {
    return Record('R', NmxAddr(), target, invokeId, cmdId, length, payload);
  }
  void* KrpAlloc(DWORD size) override {
    ++allocs;
    return failAlloc ? nullptr : CKrp::KrpAlloc(size);
  }
  void KrpFree(void* buffer) override {
    if (buffer != nullptr) ++frees;
    CKrp::KrpFree(buffer);
  }

  // Feeds one received command as the binding's receive path would.
  void Receive(WORD cmdId, WORD flags, const Bytes& payload, LONG err = 0) {
    Bytes buf(NMX_HEAD_SIZE + payload.size());
    NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf.data());
    KrpMakeHead(cmd->head, NmxAddr(), kPeer, 0xCAFE0001, cmdId, flags,
                static_cast<DWORD>(payload.size()));
    cmd->head.errCode = err;
    if (!payload.empty()) memcpy(cmd->data, payload.data(), payload.size());
    KrpDispatchCommand(cmd, buf.size());
  }

  std::vector<Sent> sent;
  std::vector<DWORD> hookResults;  // consumed front to back; 0 when empty
  bool failAlloc = false;
  int allocs = 0;
  int frees = 0;

 private:
  DWORD Record(char hook, const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
               DWORD length, const void* payload) {
    const BYTE* p = static_cast<const BYTE*>(payload);
    sent.push_back({hook, source, target, invokeId, cmdId, Bytes(p, p + length)});
    if (hookResults.empty()) return 0;
    DWORD r = hookResults.front();
    hookResults.erase(hookResults.begin());
    return r;
  }
};

// Records every handler call as one line of text.
class CHandlerLog : public CRecordingKrp {
 public:
  std::vector<std::string> calls;

  void KrpReadDeviceInfoInd(const NmxAddr&, DWORD id) override { Log("DevInfo %x", id); }
  void KrpWriteControlInd(const NmxAddr&, DWORD, WORD state, WORD dev, DWORD n,
                          const void* data) override {
    Log("WriteControl %u %u %s", state, dev, Hex(n, data).c_str());
  }
  void KrpReadStateInd(const NmxAddr&, DWORD) override { Log("ReadState"); }
  void KrpWriteInd(const NmxAddr&, DWORD, DWORD g, DWORD o, DWORD n, const void* data) override {
    Log("Write %x %x %s", g, o, Hex(n, data).c_str());
  }
  void KrpReadInd(const NmxAddr&, DWORD, DWORD g, DWORD o, DWORD n) override {
    Log("Read %x %x %u", g, o, n);
  }
  void KrpReadWriteInd(const NmxAddr&, DWORD, DWORD g, DWORD o, DWORD rn, DWORD wn,
                       const void* data) override {
    Log("ReadWrite %x %x %u %s", g, o, rn, Hex(wn, data).c_str());
  }
  void KrpAddDeviceNotificationInd(const NmxAddr&, DWORD, DWORD g, DWORD o,
                                   KrpNotificationAttrib a) override {
    Log("AddNot %x %x %u %u %u %u %llx %llx", g, o, a.cbLength, a.nTransMode, a.nMaxDelay,
        a.nCycleTime, static_cast<unsigned long long>(a.nCmpMax),
        static_cast<unsigned long long>(a.nCmpMin));
  }
  void KrpDelDeviceNotificationInd(const NmxAddr&, DWORD, DWORD h) override { Log("DelNot %u", h); }
  void KrpDeviceNotificationInd(const NmxAddr&, DWORD, DWORD n, const void* s) override {
    Log("Notification %s", Hex(n, s).c_str());
  }

  void KrpReadDeviceInfoCon(const NmxAddr&, DWORD, DWORD r, const char* name,
                            KrpVersion v) override {
    Log("DevInfoCon %x %s %u.%u.%u", r, name ? name : "(null)", v.version, v.revision, v.build);
  }
  void KrpWriteControlCon(const NmxAddr&, DWORD, DWORD r) override { Log("WriteControlCon %x", r); }
  void KrpReadStateCon(const NmxAddr&, DWORD, DWORD r, WORD s, WORD d) override {
    Log("ReadStateCon %x %u %u", r, s, d);
  }
  void KrpWriteCon(const NmxAddr&, DWORD, DWORD r) override { Log("WriteCon %x", r); }
  void KrpReadCon(const NmxAddr&, DWORD, DWORD r, DWORD n, const void* d) override {
    Log("ReadCon %x %s", r, Hex(n, d).c_str());
  }
  void KrpReadWriteCon(const NmxAddr&, DWORD, DWORD r, DWORD n, const void* d) override {
    Log("ReadWriteCon %x %s", r, Hex(n, d).c_str());
  }
  void KrpAddDeviceNotificationCon(const NmxAddr&, DWORD, DWORD r, DWORD h) override {
    Log("AddNotCon %x %u", r, h);
  }
  void KrpDelDeviceNotificationCon(const NmxAddr&, DWORD, DWORD r) override {
    Log("DelNotCon %x", r);
  }
  void KrpDeviceNotificationCon(const NmxAddr&, DWORD, DWORD r) override {
    Log("NotificationCon %x", r);
  }

 private:
  __attribute__((format(printf, 2, 3))) void Log(const char* fmt, ...) {
    char buf[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    calls.push_back(buf);
  }
  static std::string Hex(DWORD n, const void* data) {
    std::string s = "[";
    const BYTE* p = static_cast<const BYTE*>(data);
    for (DWORD i = 0; i < n; ++i) {
      char b[4];
      snprintf(b, sizeof b, "%02x", p[i]);
      s += b;
    }
    return s + "]";
  }
};

TEST(Krp, RequestsEncodeEveryCommandByteForByte) {
  const BYTE data[] = {0xD1, 0xD2, 0xD3};
  KrpNotificationAttrib attrib{};
  attrib.cbLength = 100;
  attrib.nTransMode = 4;
  attrib.nMaxDelay = 7;
  attrib.nCycleTime = 10000;
  attrib.nCmpMax = 0x1122334455667788ull;
  attrib.nCmpMin = 0x99;
  struct Case {
    const char* name;
    std::function<DWORD(CKrp&)> call;
    WORD cmdId;
    Bytes payload;
  };
  const Case cases[] = {
      {"ReadDeviceInfo", [](CKrp& k) { return k.KrpReadDeviceInfoReq(kPeer, 1); }, 1, {}},
      {"Read", [](CKrp& k) { return k.KrpReadReq(kPeer, 1, 0x1500, 7, 0x10000); }, 2,
       LE().u32(0x1500).u32(7).u32(0x10000)},
      {"Write", [&](CKrp& k) { return k.KrpWriteReq(kPeer, 1, 0x1000, 2, 3, data); }, 3,
       LE().u32(0x1000).u32(2).u32(3).raw({0xD1, 0xD2, 0xD3})},
      {"ReadState", [](CKrp& k) { return k.KrpReadStateReq(kPeer, 1); }, 4, {}},
      {"WriteControl", [&](CKrp& k) { return k.KrpWriteControlReq(kPeer, 1, 5, 0x102, 2, data); },
       5, LE().u16(5).u16(0x102).u32(2).raw({0xD1, 0xD2})},
      {"AddDeviceNotification",
       [&](CKrp& k) { return k.KrpAddDeviceNotificationReq(kPeer, 1, 0x1500, 1, attrib); }, 6,
       LE().u32(0x1500)
           .u32(1)
           .u32(100)
           .u32(4)
           .u32(7)
           .u32(10000)
           .u64(0x1122334455667788ull)
           .u64(0x99)},
      {"DelDeviceNotification", [](CKrp& k) { return k.KrpDelDeviceNotificationReq(kPeer, 1, 9); },
       7, LE().u32(9)},
      {"DeviceNotification", [&](CKrp& k) { return k.KrpDeviceNotificationReq(kPeer, 1, 3, data); },
       8, LE().u32(3).raw({0xD1, 0xD2, 0xD3})},
      {"ReadWrite", [&](CKrp& k) { return k.KrpReadWriteReq(kPeer, 1, 0x2000, 3, 64, 1, data); }, 9,
       LE().u32(0x2000).u32(3).u32(64).u32(1).raw({0xD1})},
      {"Write without data", [](CKrp& k) { return k.KrpWriteReq(kPeer, 1, 1, 2, 0, nullptr); }, 3,
       LE().u32(1).u32(2).u32(0)},
  };
  for (const Case& c : cases) {
    CRecordingKrp krp;
    krp.hookResults = {10054};
    EXPECT_EQ(c.call(krp), 10054u) << c.name << ": the hook's result is returned";
    ASSERT_EQ(krp.sent.size(), 1u) << c.name;
    EXPECT_EQ(krp.sent[0].hook, 'Q') << c.name;
    EXPECT_EQ(krp.sent[0].target, kPeer) << c.name;
    EXPECT_EQ(krp.sent[0].invokeId, 1u) << c.name;
    EXPECT_EQ(krp.sent[0].cmdId, c.cmdId) << c.name;
    EXPECT_EQ(krp.sent[0].payload, c.payload) << c.name;
    EXPECT_EQ(krp.allocs, krp.frees) << c.name;
  }

  CRecordingKrp krp;
  EXPECT_EQ(krp.KrpWriteFrw(kSource, kPeer, 4, 0x1000, 2, 3, data), 0u);
  ASSERT_EQ(krp.sent.size(), 1u);
  EXPECT_EQ(krp.sent[0].hook, 'F');
  EXPECT_EQ(krp.sent[0].source, kSource);
  EXPECT_EQ(krp.sent[0].payload, Bytes(LE().u32(0x1000).u32(2).u32(3).raw({0xD1, 0xD2, 0xD3})));
}

TEST(Krp, ResponsesEncodeEveryCommandByteForByte) {
  const BYTE data[] = {0xA1, 0xA2};
  struct Case {
    const char* name;
    std::function<DWORD(CKrp&)> call;
    WORD cmdId;
    Bytes payload;
  };
  const Case cases[] = {
      {"ReadDeviceInfo",
       [](CKrp& k) {
         return k.KrpReadDeviceInfoRes(kPeer, 2, 0, "Logger", KrpVersion{3, 1, 0x1234});
       },
       1, LE().u32(0).u8(3).u8(1).u16(0x1234).text("Logger", 16)},
      {"ReadDeviceInfo long name",
       [](CKrp& k) {
         return k.KrpReadDeviceInfoRes(kPeer, 2, 0, "ABCDEFGHIJKLMNOPQRS", KrpVersion{});
       },
       1, LE().u32(0).u32(0).text("ABCDEFGHIJKLMNO", 16)},
      {"ReadDeviceInfo null name",
       [](CKrp& k) { return k.KrpReadDeviceInfoRes(kPeer, 2, 0x701, nullptr, KrpVersion{}); }, 1,
       LE().u32(0x701).u32(0).text("", 16)},
      {"Read", [&](CKrp& k) { return k.KrpReadRes(kPeer, 2, 0, 2, data); }, 2,
       LE().u32(0).u32(2).raw({0xA1, 0xA2})},
      {"Read empty", [](CKrp& k) { return k.KrpReadRes(kPeer, 2, 0x705, 0, nullptr); }, 2,
       LE().u32(0x705).u32(0)},
      {"Write", [](CKrp& k) { return k.KrpWriteRes(kPeer, 2, 0x70B); }, 3, LE().u32(0x70B)},
      {"ReadState", [](CKrp& k) { return k.KrpReadStateRes(kPeer, 2, 0, 5, 0x8001); }, 4,
       LE().u32(0).u16(5).u16(0x8001)},
      {"WriteControl", [](CKrp& k) { return k.KrpWriteControlRes(kPeer, 2, 0x712); }, 5,
       LE().u32(0x712)},
      {"AddDeviceNotification",
       [](CKrp& k) { return k.KrpAddDeviceNotificationRes(kPeer, 2, 0, 77); }, 6,
       LE().u32(0).u32(77)},
      {"DelDeviceNotification",
       [](CKrp& k) { return k.KrpDelDeviceNotificationRes(kPeer, 2, 0x714); }, 7, LE().u32(0x714)},
      {"ReadWrite", [&](CKrp& k) { return k.KrpReadWriteRes(kPeer, 2, 0, 1, data); }, 9,
       LE().u32(0).u32(1).raw({0xA1})},
  };
  for (const Case& c : cases) {
    CRecordingKrp krp;
    EXPECT_EQ(c.call(krp), 0u) << c.name;
    ASSERT_EQ(krp.sent.size(), 1u) << c.name;
    EXPECT_EQ(krp.sent[0].hook, 'R') << c.name;
    EXPECT_EQ(krp.sent[0].target, kPeer) << c.name;
    EXPECT_EQ(krp.sent[0].invokeId, 2u) << c.name;
    EXPECT_EQ(krp.sent[0].cmdId, c.cmdId) << c.name;
    EXPECT_EQ(krp.sent[0].payload, c.payload) << c.name;
    EXPECT_EQ(krp.allocs, krp.frees) << c.name;
  }
}

TEST(Krp, LengthWithoutDataIsRefusedBeforeSending) {
  const std::function<DWORD(CKrp&)> calls[] = {
      [](CKrp& k) { return k.KrpWriteReq(kPeer, 1, 1, 2, 3, nullptr); },
      [](CKrp& k) { return k.KrpWriteControlReq(kPeer, 1, 5, 0, 3, nullptr); },
      [](CKrp& k) { return k.KrpReadWriteReq(kPeer, 1, 1, 2, 4, 3, nullptr); },
      [](CKrp& k) { return k.KrpDeviceNotificationReq(kPeer, 1, 3, nullptr); },
      [](CKrp& k) { return k.KrpReadRes(kPeer, 1, 0, 3, nullptr); },
      [](CKrp& k) { return k.KrpReadWriteRes(kPeer, 1, 0, 3, nullptr); },
  };
  for (const auto& call : calls) {
    CRecordingKrp krp;
    EXPECT_EQ(call(krp), KRP_E_MISSING_DATA);
    EXPECT_TRUE(krp.sent.empty());
  }
}

TEST(Krp, OutOfMemoryIsReportedAndReadsStillGetAnAnswer) {
  const BYTE data[4] = {};
  CRecordingKrp krp;
  krp.failAlloc = true;
  EXPECT_EQ(krp.KrpWriteReq(kPeer, 1, 1, 2, 4, data), KRP_E_NO_MEMORY);
  EXPECT_EQ(krp.KrpDeviceNotificationReq(kPeer, 1, 4, data), KRP_E_NO_MEMORY);
  EXPECT_TRUE(krp.sent.empty());

  // A payload whose size would not fit a 32-bit command length is never allocated.
  krp.failAlloc = false;
  krp.allocs = 0;
  EXPECT_EQ(krp.KrpWriteReq(kPeer, 1, 1, 2, 0xFFFFFFF0u, data), KRP_E_NO_MEMORY);
  EXPECT_EQ(krp.allocs, 0);
  EXPECT_TRUE(krp.sent.empty());

  const Bytes fallback = LE().u32(KRP_E_NO_MEMORY).u32(0);
  krp.failAlloc = true;
  EXPECT_EQ(krp.KrpReadRes(kPeer, 3, 0, 4, data), KRP_E_NO_MEMORY);
  ASSERT_EQ(krp.sent.size(), 1u);
  EXPECT_EQ(krp.sent[0].payload, fallback);
  EXPECT_EQ(krp.sent[0].invokeId, 3u);

  krp.sent.clear();
  krp.failAlloc = false;
  krp.hookResults = {KRP_E_NO_MEMORY};  // the transport could not allocate the command
  EXPECT_EQ(krp.KrpReadWriteRes(kPeer, 3, 0, 4, data), KRP_E_NO_MEMORY);
  ASSERT_EQ(krp.sent.size(), 2u);
  EXPECT_EQ(krp.sent[0].payload.size(), 12u);
  EXPECT_EQ(krp.sent[1].payload, fallback);
  EXPECT_EQ(krp.sent[1].cmdId, KRP_CMD_READWRITE);
}

TEST(Krp, RequestsAreCheckedAndDecodedBeforeTheirHandler) {
  const Bytes attrib24 = LE().u32(0x1500).u32(1).u32(100).u32(4).u32(7).u32(10000);
  struct Case {
    WORD cmdId;
    Bytes payload;
    const char* call;  // "" when the request is dropped
  };
  const Case cases[] = {
      {1, {}, "DevInfo cafe0001"},
      {1, {1, 2, 3}, "DevInfo cafe0001"},
      {4, {}, "ReadState"},
      {2, LE().u32(0x1500).u32(1).u32(25), "Read 1500 1 25"},
      {2, LE().u32(0x1500).u32(1).u16(25), ""},
      {3, LE().u32(0x1000).u32(5).u32(2).raw({7, 8}), "Write 1000 5 [0708]"},
      {3, LE().u32(0x1000).u32(5).u32(2).raw({7, 8, 9}), "Write 1000 5 [0708]"},
      {3, LE().u32(0x1000).u32(5).u32(1), ""},
      {3, LE().u32(0x1000).u32(5).u32(0xFFFFFFFF).raw({7}), ""},
      {3, LE().u32(0x1000).u32(5), ""},
      {5, LE().u16(6).u16(3).u32(1).raw({0xEE}), "WriteControl 6 3 [ee]"},
      {5, LE().u16(6).u16(3).u32(2).raw({0xEE}), ""},
      {5, LE().u16(6).u16(3), ""},
      {6, LE().raw(attrib24).u64(0xAB).u64(0xCD), "AddNot 1500 1 100 4 7 10000 ab cd"},
      {6, attrib24, "AddNot 1500 1 100 4 7 10000 0 0"},
      {6, LE().raw(attrib24).u32(0xFFFFFFFF), "AddNot 1500 1 100 4 7 10000 0 0"},
      {6, LE().u32(0x1500).u32(1).u32(100).u32(4).u32(7).u16(1), ""},
      {7, LE().u32(42), "DelNot 42"},
      {7, LE().u16(42), ""},
      {8, LE().u32(2).raw({1, 2}), "Notification [0102]"},
      {8, LE().u32(3).raw({1, 2}), ""},
      {8, {}, ""},
      {9, LE().u32(0x1500).u32(1).u32(64).u32(1).raw({5}), "ReadWrite 1500 1 64 [05]"},
      {9, LE().u32(0x1500).u32(1).u32(64).u32(2).raw({5}), ""},
      {9, LE().u32(0x1500).u32(1).u32(64), ""},
      {0, {}, ""},
      {10, LE().u32(0).u32(0).u32(0).u32(0), ""},
  };
  for (const Case& c : cases) {
    CHandlerLog krp;
    krp.Receive(c.cmdId, NMX_FLAG_KRP_COMMAND, c.payload);
    std::vector<std::string> expected;
    if (*c.call) expected.push_back(c.call);
    EXPECT_EQ(krp.calls, expected) << "command " << c.cmdId << ", " << c.payload.size() << " bytes";
    EXPECT_TRUE(krp.sent.empty()) << "dropped requests get no answer";
  }
}

TEST(Krp, ReceivePathIgnoresCommandsWithoutTheKrpFlagOrWithAShortBuffer) {
  const Bytes read = LE().u32(0x1500).u32(1).u32(25);
  for (WORD flags : {0x0000, 0x0001, 0x0020}) {
    CHandlerLog krp;
    krp.Receive(KRP_CMD_READ, flags, read);
    EXPECT_TRUE(krp.calls.empty()) << flags;
  }

  CHandlerLog krp;
  krp.Receive(KRP_CMD_READ, NMX_FLAG_KRP_COMMAND | NMX_FLAG_TIMESTAMP, read);
  EXPECT_EQ(krp.calls.size(), 1u) << "other flags do not matter";

  // cbData claims more bytes than the buffer holds.
  Bytes buf(NMX_HEAD_SIZE + read.size());
  NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf.data());
  KrpMakeHead(cmd->head, NmxAddr(), kPeer, 1, KRP_CMD_READ, NMX_FLAG_KRP_COMMAND, 13);
  memcpy(cmd->data, read.data(), read.size());
  krp.calls.clear();
  krp.KrpDispatchCommand(cmd, buf.size());
  krp.KrpDispatchCommand(cmd, 31);
  EXPECT_TRUE(krp.calls.empty());
  cmd->head.cbData = 12;
  krp.KrpDispatchCommand(cmd, buf.size());
  EXPECT_EQ(krp.calls.size(), 1u);
}

TEST(Krp, DefaultHandlersAnswerTheSender) {
  struct Case {
    WORD cmdId;
    Bytes request;
    Bytes answer;
  };
  const Case cases[] = {
      {1, {}, LE().u32(0x701).u32(0).text("NO_NAME_DEVICE", 16)},
      {2, LE().u32(1).u32(2).u32(3), LE().u32(0x701).u32(0)},
      {3, LE().u32(1).u32(2).u32(0), LE().u32(0x701)},
      {4, {}, LE().u32(0).u16(0).u16(0)},
      {6, LE().u32(1).u32(2).u32(3).u32(4).u32(5).u32(6), LE().u32(0x701).u32(0)},
      {7, LE().u32(1), LE().u32(0x701)},
      {9, LE().u32(1).u32(2).u32(3).u32(0), LE().u32(0x701).u32(0)},
  };
  for (const Case& c : cases) {
    CRecordingKrp krp;
    krp.Receive(c.cmdId, NMX_FLAG_KRP_COMMAND, c.request);
    ASSERT_EQ(krp.sent.size(), 1u) << c.cmdId;
    EXPECT_EQ(krp.sent[0].hook, 'R');
    EXPECT_EQ(krp.sent[0].target, kPeer);
    EXPECT_EQ(krp.sent[0].invokeId, 0xCAFE0001u);
    EXPECT_EQ(krp.sent[0].cmdId, c.cmdId);
    EXPECT_EQ(krp.sent[0].payload, c.answer) << c.cmdId;
  }

  CRecordingKrp krp;
  krp.Receive(KRP_CMD_DEVICENOTIFICATION, NMX_FLAG_KRP_COMMAND, LE().u32(0));
  EXPECT_TRUE(krp.sent.empty()) << "notifications are never answered";
}

TEST(Krp, DefaultWriteControlKeepsOnlyRunStopAndConfig) {
  struct Case {
    WORD state;
    DWORD result;
    WORD stateAfter;
  };
  const Case cases[] = {{5, 0, 5},   {7, 0x701, 5},   {6, 0, 6},          {0, 0x701, 6},
                        {15, 0, 15}, {16, 0x701, 15}, {0xFFFF, 0x701, 15}};
  CRecordingKrp krp;
  for (const Case& c : cases) {
    krp.sent.clear();
    krp.Receive(KRP_CMD_WRITECONTROL, NMX_FLAG_KRP_COMMAND, LE().u16(c.state).u16(9).u32(1).u8(0));
    krp.Receive(KRP_CMD_READSTATE, NMX_FLAG_KRP_COMMAND, {});
    ASSERT_EQ(krp.sent.size(), 2u);
    EXPECT_EQ(krp.sent[0].payload, Bytes(LE().u32(c.result))) << c.state;
    EXPECT_EQ(krp.sent[1].payload, Bytes(LE().u32(0).u16(c.stateAfter).u16(0))) << c.state;
  }
}

TEST(Krp, ConfirmationsAreDecodedOrDroppedWhenShort) {
  struct Case {
    WORD cmdId;
    LONG err;
    Bytes payload;
    const char* call;
  };
  const Case cases[] = {
      {1, 0, LE().u32(0).u8(2).u8(1).u16(300).text("Peer", 16), "DevInfoCon 0 Peer 2.1.300"},
      {1, 0, LE().u32(0).u32(0).text("0123456789ABCDEFGH", 16),
       "DevInfoCon 0 0123456789ABCDEF 0.0.0"},
      {1, 0, LE().u32(0).u32(0).text("x", 15), ""},
      {2, 0, LE().u32(0).u32(2).raw({9, 8}), "ReadCon 0 [0908]"},
      {2, 0, LE().u32(0).u32(3).raw({9, 8}), ""},
      {2, 0, LE().u32(0x701), ""},
      {9, 0, LE().u32(0x705).u32(0), "ReadWriteCon 705 []"},
      {3, 0, LE().u32(0x70B), "WriteCon 70b"},
      {3, 0, LE().u16(0), ""},
      {4, 0, LE().u32(0).u16(5).u16(1), "ReadStateCon 0 5 1"},
      {4, 0, LE().u32(0).u16(5), ""},
      {5, 0, LE().u32(0), "WriteControlCon 0"},
      {6, 0, LE().u32(0).u32(3), "AddNotCon 0 3"},
      {6, 0, LE().u32(0), ""},
      {7, 0, LE().u32(0x714), "DelNotCon 714"},
      {8, 0, LE().u32(0), "NotificationCon 0"},
      {12, 0, LE().u32(0), ""},
      // A header error replaces the payload, whatever it holds.
      {1, 6, {}, "DevInfoCon 6 (null) 0.0.0"},
      {2, 7, {}, "ReadCon 7 []"},
      {4, 7, LE().u32(0).u16(5).u16(1), "ReadStateCon 7 0 0"},
      {6, 7, {}, "AddNotCon 7 0"},
  };
  for (const Case& c : cases) {
    CHandlerLog krp;
    krp.Receive(c.cmdId, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE, c.payload, c.err);
    std::vector<std::string> expected;
    if (*c.call) expected.push_back(c.call);
    EXPECT_EQ(krp.calls, expected) << "command " << c.cmdId << ", " << c.payload.size() << " bytes";
    EXPECT_TRUE(krp.sent.empty()) << "responses are never answered";
  }
}

TEST(KrpTypes, ResultConversionsBothWays) {
  const std::pair<HRESULT, DWORD> toCode[] = {
      {0, 0},
      {1, 0},
      {static_cast<HRESULT>(0x98110705u), 0x705},
      {static_cast<HRESULT>(0x9811071Bu), 0x71B},
      {static_cast<HRESULT>(0x18110705u), 0},  // not a failure
      {E_FAIL, 0x700},
      {E_OUTOFMEMORY, 0x700},
      {static_cast<HRESULT>(0x98120705u), 0x700},
  };
  for (const auto& [hr, code] : toCode)
    EXPECT_EQ(KrpCodeFromResult(hr), code) << std::hex << static_cast<DWORD>(hr);

  const std::pair<DWORD, DWORD> toResult[] = {
      {0, 0},
      {0x700, 0x98110700u},
      {0x705, 0x98110705u},
      {0x741, 0x98110741u},
      {10054, 0x98112746u},
      {0xFFFF, 0x9811FFFFu},
      {0x98110705u, 0x98110705u},  // already a failure result: never turned into success
  };
  for (const auto& [code, hr] : toResult) {
    EXPECT_EQ(static_cast<DWORD>(KrpResultFromCode(code)), hr) << std::hex << code;
    if (code != 0) {
      EXPECT_LT(KrpResultFromCode(code), 0) << std::hex << code;
    }
  }
  for (DWORD code : {0x700u, 0x705u, 0x70Au, 0x741u, 0xFFFFu})
    EXPECT_EQ(KrpCodeFromResult(KrpResultFromCode(code)), code);
}

TEST(KrpTypes, LoopbackTargetsGetTheLoopbackSenderNetId) {
  const NmxAddr own({{5, 1, 204, 160, 1, 1}}, 10502);
  NmxHead head;
  KrpMakeHead(head, NmxAddr(NMXNETID_LOOPBACK, 851), own, 0x11223344, KRP_CMD_READ,
              NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE, 8);
  EXPECT_EQ(head.sender, own);
  EXPECT_EQ(head.hUser, 0x11223344u);
  EXPECT_EQ(head.errCode, 0);
  EXPECT_EQ(head.cbData, 8u);
  EXPECT_EQ(head.stateFlags, 0x0005);
  KrpApplyLoopbackRule(head);
  EXPECT_EQ(head.sender, NmxAddr({{127, 0, 0, 0, 1, 1}}, 10502));
  EXPECT_EQ(head.target, NmxAddr(NMXNETID_LOOPBACK, 851));

  KrpMakeHead(head, kPeer, own, 1, KRP_CMD_READ, NMX_FLAG_KRP_COMMAND, 0);
  KrpApplyLoopbackRule(head);
  EXPECT_EQ(head.sender, own);
}

}  // namespace
