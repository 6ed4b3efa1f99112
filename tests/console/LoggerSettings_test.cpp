#include "console/LoggerSettings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

Parms_t Defaults() {
  Parms_t p{};
  p.bCapture = true;
  p.listenerPort = 48914;
  p.bRingBuffer = true;
  p.ringBufferFiles = 3;
  p.fileSizeMb = 15;
  strcpy(p.capName, "nmx.cap");
  strcpy(p.capDir, "./");
  return p;
}

TEST(LoggerSettings, CaptureInfoInOrderTabIndentedWithoutDeclaration) {
  Parms_t p = Defaults();
  p.fileSizeMb = -2;
  strcpy(p.capName, "demo.cap");
  strcpy(p.capDir, "/tmp/x/");
  EXPECT_EQ(BuildLoggerSettings(p),
            "<VxNmxLogger>\n"
            "\t<CaptureInfo>\n"
            "\t\t<FileSize>-2</FileSize>\n"
            "\t\t<RingBuffer>true</RingBuffer>\n"
            "\t\t<RingBufferFiles>3</RingBufferFiles>\n"
            "\t\t<AutoSave>true</AutoSave>\n"
            "\t\t<AutoSaveName>demo.cap</AutoSaveName>\n"
            "\t\t<AutoSaveDirectoryName>/tmp/x/</AutoSaveDirectoryName>\n"
            "\t</CaptureInfo>\n"
            "</VxNmxLogger>\n");
}

TEST(LoggerSettings, NamesWithMarkupCharactersComeBackUnchanged) {
  Parms_t p = Defaults();
  p.bRingBuffer = false;
  strcpy(p.capName, "a<b>&c\"d'</AutoSaveName>.cap");
  strcpy(p.capDir, "dir & <more>/ü/");
  const std::string text = BuildLoggerSettings(p);

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(text.c_str()));
  pugi::xml_node info = doc.child("VxNmxLogger").child("CaptureInfo");
  EXPECT_STREQ(info.child("AutoSaveName").text().get(), p.capName);
  EXPECT_STREQ(info.child("AutoSaveDirectoryName").text().get(), p.capDir);
  EXPECT_STREQ(info.child("RingBuffer").text().get(), "false");
  EXPECT_FALSE(info.child("ConnectionPort"));
  EXPECT_FALSE(doc.child("VxNmxLogger").child("FilterInfo"));
}

TEST(LoggerSettings, BuildersAppendInOrderAndIgnoreAnEmptyParent) {
  pugi::xml_document doc;
  pugi::xml_node root = XmlAddNode(doc, "r");
  XmlAddLongNode(root, "n", -123456789L);
  XmlAddBoolNode(root, "b", false);
  XmlAddTextNode(root, "t", "");
  EXPECT_STREQ(root.first_child().name(), "n");
  EXPECT_STREQ(root.child("n").text().get(), "-123456789");
  EXPECT_STREQ(root.child("b").text().get(), "false");
  EXPECT_STREQ(root.last_child().name(), "t");
  EXPECT_FALSE(XmlAddTextNode(pugi::xml_node(), "x", "y"));
}

}  // namespace
