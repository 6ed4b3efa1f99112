// What a capture writer leaves after a failure: the records before it as a valid capture
// where the output failed or was there before; nothing where it made the file and the run
// gave up for another reason.
#include "frames/CapWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "capture/CaptureFormat.h"
#include "common/TestUtil.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Record(BYTE fill) {
  const Bytes packet(40, fill);
  Bytes r(vxcap::RecordSize(static_cast<DWORD>(packet.size())));
  vxcap::EncodeRecord(r.data(), r.size(), 133590384000000000LL, packet.data(),
                      static_cast<DWORD>(packet.size()));
  return r;
}

TEST(CapWriter, AbandonKeepsTheWholeRecordsUnlessTheFileWasItsOwnAndTheOutputDidNotFail) {
  struct Case {
    const char* name;
    bool bExisting;     // someone's file is at the path
    bool bReachesFull;  // the next record would pass the 4 GiB a capture can address
    bool bKept;
  };
  const Case cases[] = {
      {"own file, the run gives up", false, false, false},
      {"own file, 4 GiB reached", false, true, true},
      {"someone's file, the run gives up", true, false, true},
  };
  const Bytes first = Record(1), second = Record(2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vxtest::TempDir dir;
    const std::string path = dir / "out.cap";
    if (c.bExisting) vxtest::WriteFileBytes(path, Bytes(10000, 'x'));
    CCapWriter w;
    ASSERT_TRUE(w.Create(path, SYSTEMTIME{2024, 5, 3, 1, 12, 0, 0, 0})) << w.Error();
    for (const Bytes* r : {&first, &second})
      ASSERT_TRUE(w.BeginRecord(static_cast<DWORD>(r->size())) && w.Write(r->data(), r->size()));
    // A third record cut short: the run stops in its middle.
    if (c.bReachesFull) {
      EXPECT_FALSE(w.BeginRecord(0xFFFFFF00u));
      EXPECT_TRUE(w.OutputFailed());
    } else {
      ASSERT_TRUE(w.BeginRecord(static_cast<DWORD>(first.size())) && w.Write(first.data(), 20));
      EXPECT_FALSE(w.OutputFailed());
    }
    const std::string kept = w.Abandon();
    if (!c.bKept) {
      EXPECT_EQ("", kept);
      EXPECT_FALSE(std::filesystem::exists(path));
      continue;
    }
    EXPECT_EQ(path + " keeps the 2 frames written before", kept);
    const Bytes file = vxtest::ReadFileBytes(path);
    const size_t recordsEnd = vxcap::kHeaderSize + first.size() + second.size();
    ASSERT_EQ(recordsEnd + 2 * vxcap::kTableEntrySize, file.size());
    vxcap::HeaderInfo h{};
    ASSERT_EQ(vxcap::HeaderStatus::kOk, vxcap::DecodeHeader(file.data(), file.size(), &h));
    EXPECT_EQ(recordsEnd, h.frameTableOffset);
    EXPECT_EQ(2 * vxcap::kTableEntrySize, h.frameTableLength);
    DWORD bad = 0;
    EXPECT_TRUE(vxcap::ValidateTable(file.data() + recordsEnd, 2, h.frameTableOffset, &bad));
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(both, Bytes(file.begin() + vxcap::kHeaderSize, file.begin() + recordsEnd));
  }
}

}  // namespace
