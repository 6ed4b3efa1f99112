// Traffic filter decisions: address tables, flags, the KRP command table with its request
// pairing, sum requests and requests too short to judge.
#include "nmx/NmxFilter.h"

#include <gtest/gtest.h>

#include <functional>

#include "nmx/NmxCmdTestUtil.h"

using namespace nmxtest;

namespace {

Bytes AddressTable(std::initializer_list<TNmxAddressFilter> entries) {
  Bytes b(NmxAddressTableSize(entries.size()));
  vx::EncodeLE32(b.data(), static_cast<DWORD>(entries.size()));
  DWORD i = 0;
  for (const auto& e : entries) NmxEncodeAddressFilter(b.data(), i++, e);
  return b;
}

// One filter for requests to port 851 with group 0x4020 (any offset).
TKrpCommandTable* Group4020On851() {
  auto* t = new TKrpCommandTable;
  TKrpCommandFilter f;
  f.idxGroup = 0x4020;
  f.pPorts = {851};
  t->Commands.push_back(f);
  return t;
}

void CommandTable(CNmxFilter& f) {
  f.SetKrpCommandTable(Group4020On851());
  f.EnableKrpCommandTable(TRUE);
  f.EnableFilter(TRUE);
}

CmdFields Read(DWORD group, WORD port = 851, DWORD hUser = 1) {
  CmdFields s;
  s.target.port = port;
  s.hUser = hUser;
  s.data = Words({group, 7, 4});
  return s;
}

// A ReadWrite sum request: group, n sub-requests (the offset), write length w, then the
// sub-request words.
CmdFields Sum(DWORD group, DWORD n, DWORD w, std::initializer_list<DWORD> sub) {
  CmdFields s;
  s.cmdId = KRP_CMD_READWRITE;
  s.data = Words({group, n, 64, w});
  Bytes rest = Words(sub);
  s.data.insert(s.data.end(), rest.begin(), rest.end());
  return s;
}

CmdFields Plain(WORD targetPort, WORD senderPort) {
  CmdFields s;
  s.stateFlags = 0;
  s.target.port = targetPort;
  s.sender.port = senderPort;
  return s;
}

struct Step {
  CmdFields cmd;
  bool drop;
};

struct Case {
  const char* name;
  std::function<void(CNmxFilter&)> setup;
  std::vector<Step> steps;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class FilterCases : public ::testing::TestWithParam<Case> {};

TEST_P(FilterCases, DecidesEachCommandInOrder) {
  const Case& c = GetParam();
  CNmxFilter f;
  c.setup(f);
  int i = 0;
  for (const Step& s : c.steps) {
    // The exact size, so a read beyond the command is caught by the sanitizer.
    const Bytes cmd = MakeCmd(s.cmd);
    EXPECT_EQ(f.FilterNmxCmd(AsCmd(cmd)), s.drop) << "step " << i;
    ++i;
  }
}

CmdFields WithFlags(CmdFields s, WORD flags, LONG err = 0, Bytes data = {}) {
  s.stateFlags = flags;
  s.errCode = err;
  s.data = std::move(data);
  return s;
}

const CmdFields kReq = Read(0x4020);

INSTANTIATE_TEST_SUITE_P(
    Filters, FilterCases,
    ::testing::Values(
        Case{"MasterSwitchOff",
             [](CNmxFilter& f) {
               f.SetIncludeTable(AddressTable({}).data(), 4);
               f.EnableIncludeTable(TRUE);
               f.SetFilterFlags(NMX_FILTER_KRP | NMX_FILTER_ERROR);
               CommandTable(f);
               f.EnableFilter(FALSE);
             },
             {{Plain(1, 2), false}, {Read(0x1), false}, {ResponseTo(Read(0x1)), false}}},
        Case{"InitialStateKeepsAll",
             [](CNmxFilter& f) { f.EnableFilter(TRUE); },
             {{Plain(1, 2), false}, {kReq, false}}},
        Case{"IncludePort851",
             [](CNmxFilter& f) {
               const Bytes t = AddressTable({{NMX_ADDRFLAG_PORT, Addr("0.0.0.0.0.0", 851)}});
               f.SetIncludeTable(t.data(), static_cast<DWORD>(t.size()));
               f.EnableIncludeTable(TRUE);
               f.EnableFilter(TRUE);
             },
             {{Plain(851, 2), false}, {Plain(2, 851), false}, {Plain(852, 2), true}}},
        Case{"IncludeNetIdAndAddress",
             [](CNmxFilter& f) {
               const Bytes t = AddressTable({{NMX_ADDRFLAG_NETID, Addr("9.9.9.9.1.1", 0)},
                                             {NMX_ADDRFLAG_ADDR, Addr("1.2.3.4.1.1", 100)},
                                             {4, Addr("1.2.3.4.1.1", 851)}});
               f.SetIncludeTable(t.data(), static_cast<DWORD>(t.size()));
               f.EnableIncludeTable(TRUE);
               f.EnableFilter(TRUE);
             },
             {{[] {
                CmdFields s = Plain(5, 6);
                s.sender = Addr("9.9.9.9.1.1", 77);
                return s;
              }(),
               false},
              {Plain(100, 6), false},
              // Flags 4 never match, not even the exact address.
              {Plain(851, 6), true}}},
        Case{"EmptyIncludeDropsAll",
             [](CNmxFilter& f) {
               f.SetIncludeTable(AddressTable({}).data(), 4);
               f.EnableIncludeTable(TRUE);
               f.EnableFilter(TRUE);
             },
             {{Plain(851, 2), true}, {kReq, true}}},
        Case{"ExcludeAll",
             [](CNmxFilter& f) {
               const Bytes t = AddressTable({{NMX_ADDRFLAG_ANY, NmxAddr()}});
               f.SetExcludeTable(t.data(), static_cast<DWORD>(t.size()));
               f.EnableExcludeTable(TRUE);
               f.EnableFilter(TRUE);
             },
             {{Plain(851, 2), true}, {kReq, true}}},
        Case{"OnlyKrp",
             [](CNmxFilter& f) {
               f.SetFilterFlags(NMX_FILTER_KRP);
               f.EnableFilter(TRUE);
             },
             {{Plain(851, 2), true}, {kReq, false}, {ResponseTo(kReq), false}}},
        Case{"OnlyErrors",
             [](CNmxFilter& f) {
               f.SetFilterFlags(NMX_FILTER_ERROR);
               f.EnableFilter(TRUE);
             },
             {{kReq, true},
              {ResponseTo(kReq, Words({0x705})), false},
              {ResponseTo(kReq, Words({0})), true},
              // Too short for a result: counts as 0.
              {ResponseTo(kReq, {0x05, 0x07}), true},
              {WithFlags(kReq, 0, 6), false},
              // A KRP result only counts in a KRP response.
              {WithFlags(kReq, NMX_FLAG_RESPONSE, 0, Words({0x705})), true}}},
        Case{"CommandTablePairsResponses",
             CommandTable,
             {{kReq, false},
              {ResponseTo(kReq), false},
              {ResponseTo(kReq), true},
              {kReq, false},
              // A response from another address does not match the remembered request.
              {[] {
                 CmdFields r = ResponseTo(kReq);
                 r.sender.port = 852;
                 return r;
               }(),
               true},
              {ResponseTo(kReq), false}}},
        Case{"CommandTableDrops",
             CommandTable,
             {{WithFlags(Read(0x4020), 0, 0, Read(0x4020).data), true},
              {[] {
                 CmdFields s = Read(0x4020);
                 s.cmdId = KRP_CMD_READSTATE;
                 s.data = {};
                 return s;
               }(),
               true},
              {Read(0x4020, 852), true},
              {Read(0x4021), true},
              {ResponseTo(Read(0x4020, 851, 99)), true},
              {Read(0x4020, 851, 5), false},
              // A response of another command with a remembered invoke id.
              {[] {
                 CmdFields r = ResponseTo(Read(0x4020, 851, 5));
                 r.cmdId = KRP_CMD_READSTATE;
                 return r;
               }(),
               true}}},
        Case{"OffsetMask",
             [](CNmxFilter& f) {
               auto* t = Group4020On851();
               t->Commands[0].idxOffset = 0x10;
               t->Commands[0].idxOffsetMask = 0xF0;
               f.SetKrpCommandTable(t);
               f.EnableKrpCommandTable(TRUE);
               f.EnableFilter(TRUE);
             },
             {{[] {
                 CmdFields s = Read(0x4020);
                 s.data = Words({0x4020, 0x13, 4});
                 return s;
               }(),
               false},
              {[] {
                 CmdFields s = Read(0x4020);
                 s.data = Words({0x4020, 0x23, 4});
                 return s;
               }(),
               true}}},
        Case{"SumRequests",
             CommandTable,
             {{Sum(0xF081, 2, 20, {0x1, 0, 4, 0x4020, 0}), true},
              {Sum(0xF081, 2, 24, {0x1, 0, 4, 0x4020, 0, 4}), false},
              {Sum(0xF081, 2, 24, {0x1, 0, 4, 0x2, 0, 4}), true},
              {Sum(0xF081, 0, 24, {0x4020, 0, 4, 0x4020, 0, 4}), true},
              {Sum(0xF082, 2, 32, {0x1, 0, 4, 4, 0x4020, 0, 4, 4}), false},
              {Sum(0xF082, 2, 24, {0x1, 0, 4, 4, 0x4020, 0}), true},
              {Sum(0xF080, 0, 24, {0x1, 0, 4, 0x4020, 0, 4}), false},
              {Sum(0xF080, 0, 20, {0x1, 0, 4, 0x4020, 0}), true},
              {Sum(0xF080, 5, 24, {0x1, 0, 4, 0x4020, 0, 4}), false},
              // Only a ReadWrite carries sub-requests.
              {[] {
                 CmdFields s = Sum(0xF081, 2, 24, {0x1, 0, 4, 0x4020, 0, 4});
                 s.cmdId = KRP_CMD_WRITE;
                 return s;
               }(),
               true}}},
        Case{"TooShortToJudge",
             CommandTable,
             {{[] {
                 CmdFields s = Read(0x4020);
                 s.data = {0x20, 0x40, 0, 0, 7};
                 return s;
               }(),
               true},
              // Claims 24 bytes of sub-requests but carries 12.
              {Sum(0xF081, 2, 24, {0x4020, 0, 4}), true},
              {Sum(0xF080, 0, 24, {0x4020, 0, 4}), true},
              {[] {
                 CmdFields s = Sum(0xF081, 1, 12, {});
                 s.data.resize(14);
                 return s;
               }(),
               true}}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(NmxFilterTest, RemembersAtMost4096Requests) {
  CNmxFilter f;
  CommandTable(f);
  const DWORD n = CNmxFilter::kRequestEntries + 1;
  for (DWORD id = 1; id <= n; ++id) {
    const Bytes req = MakeCmd(Read(0x4020, 851, id));
    ASSERT_FALSE(f.FilterNmxCmd(AsCmd(req)));
  }
  EXPECT_EQ(f.GetPendingRequests(), CNmxFilter::kRequestEntries);
  EXPECT_TRUE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(Read(0x4020, 851, 1))))));
  EXPECT_FALSE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(Read(0x4020, 851, n))))));
  EXPECT_FALSE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(Read(0x4020, 851, 2))))));
  EXPECT_EQ(f.GetPendingRequests(), CNmxFilter::kRequestEntries - 2);
}

TEST(NmxFilterTest, SameInvokeIdAnsweredOldestFirst) {
  CNmxFilter f;
  CommandTable(f);
  CmdFields a = Read(0x4020, 851, 7);
  CmdFields b = a;
  b.sender.port = 30001;
  for (const CmdFields& s : {a, b, a}) ASSERT_FALSE(f.FilterNmxCmd(AsCmd(MakeCmd(s))));
  // Two remembered requests from a, one from b: a's answer passes twice, a third time not.
  EXPECT_FALSE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(a)))));
  EXPECT_FALSE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(b)))));
  EXPECT_FALSE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(a)))));
  EXPECT_TRUE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(a)))));
  EXPECT_EQ(f.GetPendingRequests(), 0u);
}

TEST(NmxFilterTest, TablesAndInitialState) {
  CNmxFilter f;
  std::vector<BYTE> inc, exc;
  ASSERT_TRUE(f.CopyIncludeTable(&inc));
  ASSERT_TRUE(f.CopyExcludeTable(&exc));
  EXPECT_EQ(inc, AddressTable({{NMX_ADDRFLAG_ANY, NmxAddr()}}));
  EXPECT_EQ(exc, AddressTable({}));
  TNmxFilterInfo info{};
  ASSERT_TRUE(f.GetFilterInfo(&info));
  EXPECT_EQ(info.cbIncludeTable, 14u);
  EXPECT_EQ(info.cbExcludeTable, 4u);

  // A byte block must be exactly as long as its count says.
  const Bytes t = AddressTable({{NMX_ADDRFLAG_PORT, Addr("0.0.0.0.0.0", 851)}});
  EXPECT_EQ(f.SetIncludeTable(t.data(), 13), KrpResultFromCode(KRP_E_INVALID_SIZE));
  EXPECT_EQ(f.SetIncludeTable(t.data(), 3), KrpResultFromCode(KRP_E_INVALID_SIZE));
  EXPECT_EQ(f.SetIncludeTable(t.data(), 14), S_OK);
  ASSERT_TRUE(f.CopyIncludeTable(&inc));
  EXPECT_EQ(inc, t);
  EXPECT_EQ(f.SetExcludeTable(reinterpret_cast<const TNmxAddressTable*>(t.data())), S_OK);
  ASSERT_TRUE(f.CopyExcludeTable(&exc));
  EXPECT_EQ(exc, t);

  CommandTable(f);
  f.SetFilterFlags(NMX_FILTER_KRP);
  f.EnableIncludeTable(TRUE);
  const Bytes req = MakeCmd(kReq);
  ASSERT_FALSE(f.FilterNmxCmd(AsCmd(req)));
  f.InitializeFilters();
  EXPECT_FALSE(f.IsFilterActive());
  EXPECT_FALSE(f.IsIncludeTableActive());
  EXPECT_FALSE(f.IsKrpCommandTableActive());
  EXPECT_EQ(f.GetFilterFlags(), 0u);
  ASSERT_TRUE(f.CopyIncludeTable(&inc));
  EXPECT_EQ(inc, AddressTable({{NMX_ADDRFLAG_ANY, NmxAddr()}}));
  // The remembered request survives the reset.
  EXPECT_EQ(f.GetPendingRequests(), 1u);
  CommandTable(f);
  EXPECT_FALSE(f.FilterNmxCmd(AsCmd(MakeCmd(ResponseTo(kReq)))));
}

// A named switch changes only itself; the whole set goes in and comes out as one value.
TEST(NmxFilterTest, SwitchesChangeOneAtATimeOrWhole) {
  CNmxFilter f;
  f.EnableExcludeTable(TRUE);
  f.SetFilterFlags(NMX_FILTER_ERROR);
  TNmxFilterSwitches s = f.GetSwitches();
  EXPECT_EQ(s.dwFilterFlags, NMX_FILTER_ERROR);
  EXPECT_TRUE(s.bExcludeTable);
  EXPECT_FALSE(s.bFilter || s.bIncludeTable || s.bKrpCmdTable);

  f.SetSwitches({NMX_FILTER_KRP, TRUE, TRUE, FALSE, TRUE});
  EXPECT_EQ(f.GetFilterFlags(), NMX_FILTER_KRP);
  EXPECT_TRUE(f.IsFilterActive() && f.IsIncludeTableActive() && f.IsKrpCommandTableActive());
  EXPECT_FALSE(f.IsExcludeTableActive());
  // Only KRP commands pass now.
  CmdFields plain;
  plain.stateFlags = 0;
  EXPECT_TRUE(f.FilterNmxCmd(AsCmd(MakeCmd(plain))));
}

TEST(NmxFilterTest, FilterFlagKeywords) {
  DWORD flag = 0;
  EXPECT_TRUE(FindNmxFilterFlag("Krp", &flag));
  EXPECT_EQ(flag, NMX_FILTER_KRP);
  EXPECT_TRUE(FindNmxFilterFlag("Error", &flag));
  EXPECT_EQ(flag, NMX_FILTER_ERROR);
  for (const char* other : {"krp", "Krp ", "", "TxPdo"})
    EXPECT_FALSE(FindNmxFilterFlag(other, &flag));
}

}  // namespace
