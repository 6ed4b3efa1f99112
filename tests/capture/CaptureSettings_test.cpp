#include "capture/CaptureSettings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(CaptureSettingsTest, EveryRowReadsAndWritesItsOwnField) {
  std::set<std::string> elements, words;
  for (const CaptureSettingInfo& row : kCaptureSettingTable) {
    EXPECT_TRUE(elements.insert(row.element).second) << row.element;
    if (row.word) {
      EXPECT_TRUE(words.insert(row.word).second) << row.word;
    }
    EXPECT_EQ(&CaptureSettingInfoOf(row.id), &row) << row.element;
    // A field written through its row changes that row alone.
    CaptureSettings s = DefaultCaptureSettings();
    const CaptureSettings before = s;
    if (std::string* text = CaptureSettingText(s, row.id)) {
      *text = "changed";
    } else {
      SetCaptureSettingNumber(s, row.id, CaptureSettingNumber(s, row.id) ? 0 : 1);
    }
    for (const CaptureSettingInfo& other : kCaptureSettingTable) {
      if (other.id == row.id) continue;
      CaptureSettings a = s, b = before;
      if (std::string* text = CaptureSettingText(a, other.id))
        EXPECT_EQ(*text, *CaptureSettingText(b, other.id)) << row.element << " " << other.element;
      else
        EXPECT_EQ(CaptureSettingNumber(a, other.id), CaptureSettingNumber(b, other.id))
            << row.element << " " << other.element;
    }
  }
  EXPECT_EQ(nullptr, FindCaptureSetting("folder"));
  EXPECT_EQ(CaptureSettingId::kSaveName, FindCaptureSetting("savename")->id);
}

TEST(CaptureSettingsTest, DefaultsAreTheLoggersFirstSettings) {
  const CaptureSettings s = DefaultCaptureSettings();
  EXPECT_EQ(1u << 20, s.cbFile);
  EXPECT_EQ(64u << 10, s.cbBuffer);
  EXPECT_TRUE(s.bAutoSave);
  EXPECT_EQ("Current.cap", s.saveFileName);
  EXPECT_EQ("", s.folder);
  EXPECT_TRUE(s.bRingBuffer);
  EXPECT_EQ(2, s.nRingBufferFiles);
  EXPECT_TRUE(s.bOverwriteExisting);
}

TEST(CaptureSettingsTest, ARunningCaptureKeepsItsIdleOnlySettingsAndSizesStayBounded) {
  CaptureSettings current = DefaultCaptureSettings();
  CaptureSettings next = current;
  next.cbFile = 8u << 20;
  next.cbBuffer = 1000;
  next.bRingBuffer = false;
  next.bAutoSave = false;
  next.saveFileName = "other.cap";
  next.nRingBufferFiles = 5;
  const CaptureSettings running = ResolveCaptureSettings(current, next, true);
  EXPECT_EQ(current.cbFile, running.cbFile);
  EXPECT_EQ(current.cbBuffer, running.cbBuffer);
  EXPECT_EQ(current.bRingBuffer, running.bRingBuffer);
  EXPECT_FALSE(running.bAutoSave);
  EXPECT_EQ("other.cap", running.saveFileName);
  EXPECT_EQ(5, running.nRingBufferFiles);

  const CaptureSettings idle = ResolveCaptureSettings(current, next, false);
  EXPECT_EQ(8u << 20, idle.cbFile);
  EXPECT_EQ(1000u, idle.cbBuffer);
  EXPECT_FALSE(idle.bRingBuffer);

  // The file is at least 1 MiB and the buffer at most half of it.
  next.cbFile = 1000;
  next.cbBuffer = 4u << 20;
  const CaptureSettings bounded = ResolveCaptureSettings(current, next, false);
  EXPECT_EQ(1u << 20, bounded.cbFile);
  EXPECT_EQ(512u << 10, bounded.cbBuffer);
}

}  // namespace
