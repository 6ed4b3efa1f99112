// The settings document: value readers, what a document applies and when it is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "EngineTestUtil.h"
#include "engine/NmxLogger.h"
#include "engine/XmlReaders.h"
#include "service/ViewerService.h"

using namespace engtest;

namespace {

TEST(XmlReadersTest, Unsigned) {
  const struct {
    const char* text;
    DWORD value;
  } cases[] = {
      {"15", 15},
      {"0012", 12},
      {"+12", 12},
      {"000", 0},
      {"", 0},
      {" 12", 0},
      {"12 ", 0},
      {"12a", 0},
      {"-1", 0},
      {"0x1F90", 0},
      {"#x1F90", 8080},
      {"#x 1f", 0x1F},
      {"#x0x10", 0x10},
      {"#x-1", 0xFFFFFFFF},
      {"#xZZ", 0},
      {"#x", 0},
      {"4294967295", 0xFFFFFFFF},
      {"4294967296", 0},
      {"99999999999999999999999", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(XMLGetUlong(c.text), c.value) << '"' << c.text << '"';
  EXPECT_EQ(XMLGetUshort("65537"), 1);
  EXPECT_EQ(XMLGetUshort("#x1F90"), 8080);
}

TEST(XmlReadersTest, SignedAndBoolean) {
  const struct {
    const char* text;
    LONG value;
  } cases[] = {
      {"0x4020", 0x4020}, {"#x4020", 0x4020}, {"0xFFFFFFFF", -1}, {"-1", -1},
      {"true", 1},        {"TRUE", 1},        {"abc", 0},         {"", 0},
      {" 42", 42},        {"42abc", 42},      {"0x", 0},          {"4294967296", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(XMLGetLong(c.text), c.value) << '"' << c.text << '"';

  for (const char* t : {"yes", "True", "1", "t", "Y"}) EXPECT_TRUE(XmlGetBool(t)) << t;
  for (const char* t : {"on", "false", "", " 1", "0"}) EXPECT_FALSE(XmlGetBool(t)) << t;
}

TEST(XmlReadersTest, TextIsTheFirstTextOrCdataChild) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string("<r><a> x </a><b><![CDATA[c]]>d</b><c><e/>f</c><d/><e>   </e></r>"));
  const pugi::xml_node r = doc.child("r");
  EXPECT_STREQ(XMLGettext(r.child("a")), " x ");
  EXPECT_STREQ(XMLGettext(r.child("b")), "c");
  EXPECT_STREQ(XMLGettext(r.child("c")), "f");
  EXPECT_STREQ(XMLGettext(r.child("d")), "");
  EXPECT_STREQ(XMLGettext(r.child("e")), "");
  EXPECT_STREQ(XMLGettext(r.child("missing")), "");
}

std::string Doc(const std::string& body) {
  return "<VxNmxLogger>" + body + "</VxNmxLogger>";
}
std::string Capture(const std::string& body) {
  return "<CaptureInfo>" + body + "</CaptureInfo>";
}

TEST(SettingsTest, CaptureSettings) {
  CNmxLogger engine(nullptr);
  EXPECT_EQ(engine.GetCaptureSettings().cbFile, 1048576u);
  EXPECT_EQ(engine.GetCaptureSettings().cbBuffer, 65536u);
  EXPECT_TRUE(engine.GetCaptureSettings().bAutoSave);
  EXPECT_TRUE(engine.GetCaptureSettings().bRingBuffer);
  EXPECT_STREQ(engine.GetCaptureSettings().saveFileName.c_str(), "Current.cap");

  ASSERT_TRUE(engine.LoadXmlSettings(
      Doc(Capture("<FileSize>15</FileSize><BufferSize>65537</BufferSize>"
                  "<AutoSave>no</AutoSave><AutoSaveName>a b.cap</AutoSaveName>"
                  "<AutoSaveDirectoryName>/tmp/x</AutoSaveDirectoryName>"
                  "<RingBuffer>false</RingBuffer><RingBufferFiles>#x7</RingBufferFiles>"
                  "<OverwriteExisting>0</OverwriteExisting>"))
          .c_str(),
      false));
  EXPECT_EQ(engine.GetCaptureSettings().cbFile, 15728640u);
  EXPECT_EQ(engine.GetCaptureSettings().cbBuffer, 1024u);
  EXPECT_FALSE(engine.GetCaptureSettings().bAutoSave);
  EXPECT_STREQ(engine.GetCaptureSettings().saveFileName.c_str(), "a b.cap");
  EXPECT_FALSE(engine.GetCaptureSettings().bRingBuffer);
  EXPECT_EQ(engine.GetCaptureSettings().nRingBufferFiles, 7);
  EXPECT_FALSE(engine.GetCaptureSettings().bOverwriteExisting);

  // 4096 MiB is 2^32 bytes, which wraps to 0: the manager's smallest size. Absent elements
  // keep their values.
  ASSERT_TRUE(engine.LoadXmlSettings(
      Doc(Capture("<FileSize>4096</FileSize><AutoSave>Yes</AutoSave>")).c_str(), false));
  EXPECT_EQ(engine.GetCaptureSettings().cbFile, 1048576u);
  EXPECT_TRUE(engine.GetCaptureSettings().bAutoSave);
  EXPECT_STREQ(engine.GetCaptureSettings().saveFileName.c_str(), "a b.cap");
  EXPECT_FALSE(engine.GetCaptureSettings().bRingBuffer);
}

// What reads as 0 (port 0 itself and malformed text) is no port: the port stays as it was.
TEST(SettingsTest, ConnectionPort) {
  const struct {
    const char* text;
    LONG port;
  } cases[] = {{"0012", 12},    {" 12", 48914}, {"#x1F90", 8080}, {"0x1F90", 48914},
               {"70000", 4464}, {"0", 48914},   {"65536", 48914}};
  for (const auto& c : cases) {
    CNmxLogger engine(nullptr);
    CViewerService service(engine.ViewerFace());
    const std::string d =
        Doc(std::string("<ConnectionPort>") + c.text + "</ConnectionPort>" + Capture(""));
    EXPECT_TRUE(engine.LoadXmlSettings(d.c_str(), false));
    EXPECT_EQ(service.GetConnectionPort(), c.port) << c.text;
  }
}

TEST(SettingsTest, RefusedDocuments) {
  const struct {
    const char* doc;
    LONG port;  // 48914: the port is not moved
  } cases[] = {
      {"<VxNmxLogger><ConnectionPort>100</ConnectionPort></VxNmxLogger>", 100},
      {"<Other><ConnectionPort>101</ConnectionPort><CaptureInfo/></Other>", 48914},
      {"<Other/><VxNmxLogger><ConnectionPort>102</ConnectionPort></VxNmxLogger>", 102},
      {"<VxNmxLogger>text only</VxNmxLogger>", 48914},
      {"<VxNmxLogger><ConnectionPort>103</ConnectionPort><CaptureInfo>", 48914},
      {"", 48914},
  };
  for (const auto& c : cases) {
    CNmxLogger engine(nullptr);
    CViewerService service(engine.ViewerFace());
    engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.cbFile = 3 * 1048576; });
    EXPECT_FALSE(engine.LoadXmlSettings(c.doc, false)) << c.doc;
    EXPECT_EQ(service.GetConnectionPort(), c.port) << c.doc;
    EXPECT_EQ(engine.GetCaptureSettings().cbFile, 3u * 1048576) << c.doc;
  }
  CNmxLogger engine(nullptr);
  EXPECT_FALSE(engine.LoadXmlSettings(nullptr, false));
}

TEST(SettingsTest, Filters) {
  CNmxLogger engine(nullptr);
  ASSERT_TRUE(engine.LoadXmlSettings(
      Doc("<FilterInfo>"
          "<IncludedAddresses><Address><NetId>[1.2.3.4].1.1</NetId></Address></IncludedAddresses>"
          "<IncludedAddresses><Address><NetId>9.8.7.6.5.4</NetId><Port>851</Port></Address>"
          "<Address><Port>65537</Port></Address><Address/></IncludedAddresses>"
          "<ExcludedAddresses><Address><Port>852</Port></Address></ExcludedAddresses>"
          "<KrpCommands><KrpCommand><IGroup>#x4020</IGroup><Port>851</Port><Port>853</Port>"
          "</KrpCommand></KrpCommands>"
          "<Filters><TxPdo>Krp</TxPdo><TxPdo>krp</TxPdo></Filters>"
          "<Filters><TxPdo>Error</TxPdo></Filters>"
          "</FilterInfo>" +
          Capture(""))
          .c_str(),
      false));
  EXPECT_TRUE(engine.IsFilterActive());
  EXPECT_TRUE(engine.IsIncludeTableActive());
  EXPECT_TRUE(engine.IsExcludeTableActive());
  EXPECT_TRUE(engine.IsKrpCommandTableActive());
  EXPECT_EQ(engine.GetFilterFlags(), NMX_FILTER_KRP);

  std::vector<BYTE> inc;
  ASSERT_TRUE(engine.Filters().CopyIncludeTable(&inc));
  ASSERT_EQ(NmxAddressTableCount(inc.data()), 4u);
  const TNmxAddressFilter want[] = {{NMX_ADDRFLAG_NETID, Addr("0.0.0.0.1.1", 0)},
                                    {NMX_ADDRFLAG_ADDR, Addr("9.8.7.6.5.4", 851)},
                                    {NMX_ADDRFLAG_PORT, Addr("0.0.0.0.0.0", 1)},
                                    {NMX_ADDRFLAG_ANY, Addr("0.0.0.0.0.0", 0)}};
  for (DWORD i = 0; i < 4; ++i) {
    const TNmxAddressFilter got = NmxDecodeAddressFilter(inc.data(), i);
    EXPECT_EQ(got.AddressFlags, want[i].AddressFlags) << i;
    EXPECT_EQ(got.Address, want[i].Address) << i;
  }

  // The command filter applies to its two ports and to no other.
  const auto drop = [&engine](WORD port) {
    CmdFields s;
    s.target = Addr("0.0.0.0.0.0", port);
    s.sender = Addr("0.0.0.0.1.1", 851);
    s.data = Words({0x4020, 0, 4});
    return engine.FilterNmxCmd(AsCmd(MakeCmd(s)));
  };
  EXPECT_FALSE(drop(853));
  EXPECT_TRUE(drop(854));

  // A document without filters returns them to their initial, inactive state.
  ASSERT_TRUE(engine.LoadXmlSettings(Doc(Capture("")).c_str(), false));
  EXPECT_FALSE(engine.IsFilterActive());
  EXPECT_FALSE(engine.IsKrpCommandTableActive());
  EXPECT_EQ(engine.GetFilterFlags(), 0u);
}

TEST(SettingsTest, CommandFilterWithoutGroupDiscardsTheTable) {
  CNmxLogger engine(nullptr);
  ASSERT_TRUE(
      engine.LoadXmlSettings(Doc("<FilterInfo><KrpCommands>"
                                 "<KrpCommand><IGroup>16416</IGroup><Port>851</Port></KrpCommand>"
                                 "<KrpCommand><IOffset>1</IOffset><Port>851</Port></KrpCommand>"
                                 "</KrpCommands></FilterInfo>" +
                                 Capture(""))
                                 .c_str(),
                             false));
  EXPECT_TRUE(engine.IsFilterActive());
  // No table is in force, so requests pass whatever the switch says.
  engine.EnableKrpCommandTable(TRUE);
  CmdFields s;
  s.data = Words({0x9999, 0, 4});
  EXPECT_FALSE(engine.FilterNmxCmd(AsCmd(MakeCmd(s))));
}

TEST(SettingsTest, FromFileAndRefusedWhileCapturing) {
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  CViewerService service(engine.ViewerFace());
  CaptureInto(engine, dir, 2 * 1048576);
  const std::string path = dir / "settings.xml";
  const std::string text = Doc("<ConnectionPort>5000</ConnectionPort>" +
                               Capture("<FileSize>3</FileSize><RingBuffer>0</RingBuffer>"));
  vxtest::WriteFileBytes(path, Bytes(text.begin(), text.end()));
  EXPECT_FALSE(engine.LoadXmlSettings((dir / "missing.xml").c_str(), true));
  EXPECT_FALSE(engine.LoadXmlSettings(dir.path().c_str(), true));
  ASSERT_TRUE(engine.LoadXmlSettings(path.c_str(), true));
  EXPECT_EQ(service.GetConnectionPort(), 5000);
  EXPECT_EQ(engine.GetCaptureSettings().cbFile, 3u * 1048576);

  ASSERT_TRUE(engine.Start());
  EXPECT_FALSE(engine.LoadXmlSettings(
      Doc("<ConnectionPort>6000</ConnectionPort>" + Capture("<FileSize>5</FileSize>")).c_str(),
      false));
  EXPECT_EQ(service.GetConnectionPort(), 5000);
  EXPECT_EQ(engine.GetCaptureSettings().cbFile, 3u * 1048576);
  // Tables and flags are refused too; the switches are not.
  EXPECT_EQ(engine.SetFilterFlags(1), static_cast<HRESULT>(0x98110700));
  const Bytes empty(4, 0);
  EXPECT_EQ(engine.SetIncludeTable(empty.data(), 4), static_cast<HRESULT>(0x98110700));
  EXPECT_EQ(engine.SetExcludeTable(reinterpret_cast<const TNmxAddressTable*>(empty.data())),
            static_cast<HRESULT>(0x98110700));
  engine.EnableFilter(TRUE);
  EXPECT_TRUE(engine.IsFilterActive());
  EXPECT_EQ(engine.GetFilterFlags(), 0u);
  ASSERT_TRUE(engine.Stop());
  EXPECT_EQ(engine.SetFilterFlags(1), S_OK);
}

// A viewer names the settings file; one that nobody writes to must not hold the engine.
TEST(SettingsTest, AFifoIsRefusedWithoutWaitingForAWriter) {
  vxtest::TempDir dir;
  const std::string fifo = dir / "settings.fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  CNmxLogger engine(nullptr);
  auto loaded =
      std::async(std::launch::async, [&] { return engine.LoadXmlSettings(fifo.c_str(), true); });
  if (loaded.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // Let the blocked reader go, so the test ends.
    const int fd = open(fifo.c_str(), O_WRONLY);
    if (fd >= 0) close(fd);
    FAIL() << "LoadXmlSettings waited for a writer of the FIFO";
  }
  EXPECT_FALSE(loaded.get());
}

}  // namespace
