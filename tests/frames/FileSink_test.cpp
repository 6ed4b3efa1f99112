// What an output sink may remove: only a regular file it created, and only while the path
// still names that file.
#include "frames/FileSink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/TestUtil.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(FileSink, RemovesOnlyTheFileItCreatedWhileThePathNamesIt) {
  struct Case {
    const char* name;
    bool bExisting;       // a file of someone else's is at the path
    bool bLinkToNowhere;  // the path is a link to a file that does not exist yet
    bool bReplaced;       // another file took the path after the sink made its own
    bool bCreated;
    bool bPathStays;
  };
  const Case cases[] = {
      {"new file", false, false, false, true, false},
      {"existing file", true, false, false, false, true},
      {"link to nowhere", false, true, false, false, true},
      {"replaced while written", false, false, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vxtest::TempDir dir;
    const std::string path = dir / "out";
    if (c.bExisting) vxtest::WriteFileBytes(path, Bytes{'o', 'l', 'd'});
    if (c.bLinkToNowhere) {
      ASSERT_EQ(0, symlink((dir / "target").c_str(), path.c_str()));
    }
    CFileSink sink;
    ASSERT_TRUE(sink.Create(path, CFileSink::Writes::kRewriting)) << sink.Error();
    EXPECT_EQ(c.bCreated, sink.Created());
    EXPECT_TRUE(sink.IsFile());
    const Bytes data = {1, 2, 3, 4};
    ASSERT_TRUE(sink.Write(data.data(), data.size()));
    if (c.bReplaced) {
      vxtest::WriteFileBytes(dir / "other", Bytes{'o', 't', 'h', 'e', 'r'});
      ASSERT_EQ(0, rename((dir / "other").c_str(), path.c_str()));
    }
    EXPECT_EQ(!c.bPathStays, sink.Remove());
    EXPECT_EQ(c.bPathStays, std::filesystem::exists(std::filesystem::symlink_status(path)));
    if (c.bExisting) {
      EXPECT_TRUE(vxtest::ReadFileBytes(path).empty()) << "emptied, not removed";
    }
    if (c.bReplaced) {
      EXPECT_EQ(Bytes({'o', 't', 'h', 'e', 'r'}), vxtest::ReadFileBytes(path));
    }
  }
}

}  // namespace
