// The capture without a logger: it fails at once with the reason, and a reader that waits in
// its open of the FIFO, as Wireshark's capture child does, is let go every time.
#include "nmx-extcap/ExtcapCapture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "common/TestUtil.h"
#include "viewclient/ViewProcess.h"

namespace {

TEST(ExtcapCapture, WithoutALoggerItFailsAndAReaderWaitingInItsOpenSeesTheEnd) {
  // As the program does before anything else.
  LoadRegistryQuietly();
  signal(SIGPIPE, SIG_IGN);
  struct Case {
    const char* name;
    int readerDelayMs;  // -1: nobody reads
  };
  const Case cases[] = {{"reader waiting first", 0},
                        {"reader comes while the run fails", 5},
                        {"reader comes after the failure", 300},
                        {"no reader", -1}};
  for (int round = 0; round < 3; ++round) {
    for (const Case& c : cases) {
      if (c.readerDelayMs < 0 && round > 0) continue;
      SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
      vxtest::TempDir dir;
      const std::string fifo = dir / "capture.fifo";
      ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
      std::atomic<int> got{-2};
      std::thread reader;
      if (c.readerDelayMs >= 0) {
        reader = std::thread([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(c.readerDelayMs));
          const int fd = open(fifo.c_str(), O_RDONLY);  // waits for a writer
          char b;
          got = fd < 0 ? -1 : static_cast<int>(read(fd, &b, 1));
          if (fd >= 0) close(fd);
        });
      }
      ExtcapCaptureOptions opt;
      opt.view.port = vxtest::FreeTcpPort();
      opt.fifo = fifo;
      CExtcapFilter filter;
      std::ostringstream out, err;
      EXPECT_EQ(kViewExitConnection, RunExtcapCapture(opt, filter, out, err));
      EXPECT_EQ("nmx-extcap: capture: cannot connect to 127.0.0.1:" +
                    std::to_string(opt.view.port) + ": connection refused\n",
                err.str());
      EXPECT_EQ("", out.str());
      if (!reader.joinable()) continue;
      // The reader's open returns and its read sees the end of the stream.
      const bool released = vxtest::WaitUntil([&] { return got != -2; });
      EXPECT_TRUE(released);
      if (!released) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
      reader.join();
      EXPECT_EQ(0, got.load());
    }
  }
}

}  // namespace
