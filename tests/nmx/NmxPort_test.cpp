#include "nmx/NmxPort.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An endpoint that keeps the bytes of every command it sends and counts its buffers.
class CRecordingPort : public CNmxPort {
 public:
  explicit CRecordingPort(const char* name = nullptr, NmxPortNo port = 2)
      : CNmxPort(port, name, PORTTYPE_R3PORT, 4) {}
  ~CRecordingPort() { EXPECT_EQ(m_nAllocs, m_nFrees) << "leaked command buffers"; }

  LONG NmxSend(NmxCmd* cmd) override {
    const BYTE* p = reinterpret_cast<const BYTE*>(cmd);
    sent.emplace_back(p, p + NMX_HEAD_SIZE + cmd->head.cbData);
    return sendResult;
  }
  void NmxReceive(NmxCmd* cmd) override { NmxDispatch(cmd); }
  NmxCmd* NmxAlloc(LONG size) override {
    lastAllocSize = size;
    if (failAlloc) return nullptr;
    ++m_nAllocs;
    return static_cast<NmxCmd*>(malloc(static_cast<size_t>(size)));
  }
  void NmxFree(NmxCmd* cmd) override {
    if (cmd != nullptr) ++m_nFrees;
    free(cmd);
  }

  std::string Name() const { return m_szName; }
  NMXPORT_TYPE Type() const { return m_type; }
  DWORD Attrib() const { return m_dwAttrib; }

  std::vector<std::vector<BYTE>> sent;
  LONG sendResult = 1;
  bool failAlloc = false;
  LONG lastAllocSize = -1;

 private:
  int m_nAllocs = 0;
  int m_nFrees = 0;
};

const NmxAddr kClient({{5, 1, 204, 160, 1, 1}}, 851);
const NmxAddr kServer({{10, 0, 0, 7, 1, 1}}, 2);

// A command of 32 + cbData bytes from kClient to kServer with data bytes 0, 1, 2, ...
std::vector<BYTE> MakeCommand(DWORD cbData, WORD flags = NMX_FLAG_KRP_COMMAND, LONG err = 0) {
  std::vector<BYTE> buf(NMX_HEAD_SIZE + cbData);
  NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf.data());
  CNmxPort::NmxMakeHead(cmd->head, 9, static_cast<LONG>(cbData), kServer, kClient, 0x12345678, err,
                        flags);
  for (DWORD i = 0; i < cbData; ++i) cmd->data[i] = static_cast<BYTE>(i);
  return buf;
}

NmxCmd* AsCmd(std::vector<BYTE>& buf) {
  return reinterpret_cast<NmxCmd*>(buf.data());
}
const NmxHead& HeadOf(const std::vector<BYTE>& buf) {
  return reinterpret_cast<const NmxCmd*>(buf.data())->head;
}

TEST(NmxPort, ConstructionSetsAddressTypeAndCutsTheName) {
  CRecordingPort port("0123456789abcdefghijklmnopqrstuvwxyz", 7);
  EXPECT_EQ(port.NmxGetAddr(), NmxAddr(NmxNetId{}, 7));
  EXPECT_EQ(port.Name(), "0123456789abcdefghijklmnopqrst");
  EXPECT_EQ(port.Type(), PORTTYPE_R3PORT);
  EXPECT_EQ(port.Attrib(), 4u);
  EXPECT_FALSE(port.NmxPortConnected());
  EXPECT_EQ(port.NmxGetLastError(), 0u);
  EXPECT_EQ(port.NmxGetPortType(), PORTTYPE_INVALID);
  EXPECT_EQ(CRecordingPort(nullptr).Name(), "");
}

TEST(NmxPort, MakeHeadFillsEveryFieldWithOwnAddressAsSender) {
  CRecordingPort port;
  port.NmxSetAddr(kServer);
  std::vector<BYTE> buf(NMX_HEAD_SIZE, 0xAA);
  NmxHead& head = reinterpret_cast<NmxCmd*>(buf.data())->head;
  port.NmxMakeHead(head, 3, 12, kClient.netId, kClient.port, -2, 6, NMX_FLAG_KRP_COMMAND);
  EXPECT_EQ(head.target, kClient);
  EXPECT_EQ(head.sender, kServer);
  EXPECT_EQ(head.cmdId, 3);
  EXPECT_EQ(head.cbData, 12u);
  EXPECT_EQ(head.hUser, 0xFFFFFFFEu);
  EXPECT_EQ(head.errCode, 6);
  EXPECT_EQ(head.stateFlags, NMX_FLAG_KRP_COMMAND);
}

TEST(NmxPort, SwitchTargetSwapsAddressesAndKeepsTheResponseBit) {
  CRecordingPort port;
  std::vector<BYTE> buf = MakeCommand(0);
  port.NmxSwitchTarget(AsCmd(buf));
  EXPECT_EQ(HeadOf(buf).target, kClient);
  EXPECT_EQ(HeadOf(buf).sender, kServer);
  EXPECT_EQ(HeadOf(buf).stateFlags, 0x0005);
  EXPECT_TRUE(port.NmxIsResponseCommand(AsCmd(buf)));
  port.NmxSwitchTarget(AsCmd(buf));
  EXPECT_EQ(HeadOf(buf).target, kServer);
  EXPECT_EQ(HeadOf(buf).sender, kClient);
  EXPECT_EQ(HeadOf(buf).stateFlags, 0x0005);
}

TEST(NmxPort, DispatchAnswersUnhandledCommandsWithError11Once) {
  CRecordingPort port;
  std::vector<BYTE> request = MakeCommand(10, 0x0044);
  port.NmxReceive(AsCmd(request));
  ASSERT_EQ(port.sent.size(), 1u);
  const std::vector<BYTE>& answer = port.sent[0];
  ASSERT_EQ(answer.size(), NMX_HEAD_SIZE);
  EXPECT_EQ(HeadOf(answer).target, kClient);
  EXPECT_EQ(HeadOf(answer).sender, kServer);
  EXPECT_EQ(HeadOf(answer).cmdId, 9);
  EXPECT_EQ(HeadOf(answer).stateFlags, 0x0045);  // unknown bits are carried
  EXPECT_EQ(HeadOf(answer).cbData, 0u);
  EXPECT_EQ(HeadOf(answer).errCode, 11);
  EXPECT_EQ(HeadOf(answer).hUser, 0x12345678u);

  // The error answer itself, coming back, is never answered again.
  std::vector<BYTE> echo = answer;
  port.NmxReceive(AsCmd(echo));
  EXPECT_EQ(port.sent.size(), 1u);

  port.failAlloc = true;
  port.NmxReceive(AsCmd(request));
  EXPECT_EQ(port.sent.size(), 1u);
}

TEST(NmxPort, ResponseAnswersInPlaceAndReturnsTheSendResult) {
  CRecordingPort port;
  port.sendResult = 0;
  std::vector<BYTE> cmd = MakeCommand(4);
  EXPECT_EQ(port.NmxResponse(AsCmd(cmd), 0x705), 0);
  ASSERT_EQ(port.sent.size(), 1u);
  EXPECT_EQ(port.sent[0], cmd);
  EXPECT_EQ(HeadOf(cmd).target, kClient);
  EXPECT_EQ(HeadOf(cmd).errCode, 0x705);
  EXPECT_EQ(HeadOf(cmd).cbData, 4u);
  EXPECT_EQ(std::vector<BYTE>(cmd.begin() + NMX_HEAD_SIZE, cmd.end()),
            (std::vector<BYTE>{0, 1, 2, 3}));
}

TEST(NmxPort, AllocCopiesCopyAsMuchAsFitsAndSetTheNewLength) {
  CRecordingPort port;
  std::vector<BYTE> src = MakeCommand(8);
  struct Case {
    LONG size;
    size_t copied;
  };
  for (Case c : {Case{40, 40}, Case{36, 36}, Case{48, 40}, Case{32, 32}}) {
    NmxCmd* copy = port.NmxAllocCopy(AsCmd(src), c.size);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->head.cbData, static_cast<DWORD>(c.size) - 32) << c.size;
    EXPECT_EQ(copy->head.hUser, 0x12345678u);
    EXPECT_EQ(memcmp(copy->data, src.data() + NMX_HEAD_SIZE, c.copied - NMX_HEAD_SIZE), 0);
    port.NmxFree(copy);
  }

  NmxCmd* whole = port.NmxAllocCopy(AsCmd(src));
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(memcmp(whole, src.data(), src.size()), 0);
  port.NmxFree(whole);

  NmxCmd* head = port.NmxAllocCopyHead(AsCmd(src), 64);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->head.cbData, 32u);
  EXPECT_EQ(head->head.target, kServer);
  port.NmxFree(head);

  NmxCmd* answer = port.NmxAllocCopyHeadAndSwitchTarget(AsCmd(src));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(port.lastAllocSize, 32);
  EXPECT_EQ(answer->head.cbData, 0u);
  EXPECT_EQ(answer->head.target, kClient);
  EXPECT_EQ(answer->head.stateFlags, 0x0005);
  port.NmxFree(answer);
}

TEST(NmxPort, AllocCopiesRefuseBuffersTooSmallForAHeader) {
  CRecordingPort port;
  std::vector<BYTE> src = MakeCommand(8);
  for (LONG size : {31, 0, -1}) {
    port.lastAllocSize = -100;
    EXPECT_EQ(port.NmxAllocCopy(AsCmd(src), size), nullptr) << size;
    EXPECT_EQ(port.NmxAllocCopyHead(AsCmd(src), size), nullptr) << size;
    EXPECT_EQ(port.lastAllocSize, -100) << "nothing allocated for " << size;
  }
  // A header claiming more data than a buffer size can express.
  AsCmd(src)->head.cbData = 0xFFFFFFF0u;
  EXPECT_EQ(port.NmxAllocCopy(AsCmd(src)), nullptr);
}

TEST(NmxPort, PortNamesAreJoinedWithDotsWithinThirtyCharacters) {
  const std::string s28(28, 'n'), s29(29, 'n'), s40(40, 'x');
  struct Case {
    std::string current;
    const char* append;
    std::string expected;
  };
  const Case cases[] = {
      {"", "B", "B"},
      {"A", "B", "A.B"},
      {"A", s40.c_str(), "A." + std::string(28, 'x')},
      {"", s40.c_str(), std::string(30, 'x')},
      {s28, "XYZ", s28 + ".X"},
      {s29, "X", s29},
  };
  for (const Case& c : cases) {
    CRecordingPort port(c.current.c_str());
    EXPECT_EQ(std::string(port.AppendPortName(c.append)), c.expected) << c.current;
    EXPECT_EQ(port.Name(), c.expected);
  }

  CRecordingPort port("keep");
  EXPECT_EQ(port.AppendPortName(nullptr), nullptr);
  EXPECT_EQ(port.SetPortName(nullptr), nullptr);
  EXPECT_EQ(port.Name(), "keep");
  EXPECT_EQ(std::string(port.SetPortName(s40.c_str())), std::string(30, 'x'));
}

}  // namespace
