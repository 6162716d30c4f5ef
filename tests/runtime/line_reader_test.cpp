#include "runtime/line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor::runtime {
namespace {

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe2 failed");
    }
  }
  ~Pipe() {
    close(fds_[0]);
    closeWriteEnd();
  }
  int readEnd() const { return fds_[0]; }
  // Blocks until every byte is in the pipe, that is until someone has read enough of it.
  void put(std::string_view bytes) const {
    while (!bytes.empty()) {
      ssize_t written = write(fds_[1], bytes.data(), bytes.size());
      ASSERT_GT(written, 0);
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
  }
  void closeWriteEnd() {
    if (fds_[1] >= 0) {
      close(fds_[1]);
      fds_[1] = -1;
    }
  }

 private:
  int fds_[2];
};

// A loop on a real clock with a reader on `fd`; run() returns once the end of input arrived.
class Reading {
 public:
  explicit Reading(int fd, std::size_t longestLine = 1 << 20)
      : reader(
            loop, fd, longestLine,
            [this](std::string_view line) {
              EXPECT_FALSE(ended) << "no line after the end";
              lines.emplace_back(line);
            },
            [this] {
              EXPECT_FALSE(ended) << "the end comes once";
              ended = true;
              loop.quit();
            }) {
    reader.start();
  }

  RealClock clock;
  EventLoop loop{clock};
  std::vector<std::string> lines;
  bool ended = false;
  LineReader reader;
};

TEST(LineReader, LinesArriveWholeInOrderWithoutTerminatorsAndThenTheEnd) {
  Pipe pipe;
  Reading reading(pipe.readEnd());
  pipe.put("first\nsecond\r\n\n\r\nin the middle\r of a line\nlast without newline");
  pipe.closeWriteEnd();
  reading.loop.run();
  EXPECT_EQ(reading.lines,
            (std::vector<std::string>{"first", "second", "", "", "in the middle\r of a line",
                                      "last without newline"}));
  EXPECT_TRUE(reading.ended);
}

TEST(LineReader, EndOfInputWithoutAnyLine) {
  Pipe pipe;
  Reading reading(pipe.readEnd());
  pipe.closeWriteEnd();
  reading.loop.run();
  EXPECT_TRUE(reading.lines.empty());
  EXPECT_TRUE(reading.ended);
}

TEST(LineReader, OverlongLinesKeepTheirFirstBytesAndTheNextLineIsIntact) {
  Pipe pipe;
  Reading reading(pipe.readEnd(), /*longestLine=*/8);
  // A carriage return past the limit is content, not part of a CRLF ending.
  pipe.put("12345678\r\n123456789\r\n" + std::string(100'000, 'x') + "\nshort\n1234567\r\n");
  pipe.closeWriteEnd();
  reading.loop.run();
  EXPECT_EQ(reading.lines,
            (std::vector<std::string>{"12345678", "12345678", "xxxxxxxx", "short", "1234567"}));
}

// While the loop thread is held up by one long piece of work, only the reader thread can empty
// the pipe: the work below writes far more than a pipe holds and returns only once it is read.
TEST(LineReader, TheReaderThreadDrainsWhileTheLoopIsBusyAndOrderIsKept) {
  Pipe pipe;
  Reading reading(pipe.readEnd());
  constexpr int kWhileBusy = 100'000;  // about 700 KB
  constexpr int kAfterwards = 1'000;
  std::string busyPart;
  for (int i = 0; i < kWhileBusy; ++i) {
    busyPart += std::to_string(i) + "\n";
  }
  reading.loop.post([&] {
    pipe.put(busyPart);
    // Back on the loop, which now reads for itself between rounds and while it waits.
    reading.loop.post([&] {
      for (int i = kWhileBusy; i < kWhileBusy + kAfterwards; ++i) {
        pipe.put(std::to_string(i) + "\n");
      }
      pipe.closeWriteEnd();
    });
  });
  reading.loop.run();
  ASSERT_EQ(reading.lines.size(), static_cast<std::size_t>(kWhileBusy + kAfterwards));
  for (int i = 0; i < kWhileBusy + kAfterwards; ++i) {
    ASSERT_EQ(reading.lines[static_cast<std::size_t>(i)], std::to_string(i));
  }
}

// The reader thread rests while the loop waits idle and must wake for the next long piece of work:
// two held-up stretches with a rest of the loop between them, each writing more than a pipe holds.
TEST(LineReader, TheReaderThreadTakesOverAgainAfterTheLoopRested) {
  Pipe pipe;
  Reading reading(pipe.readEnd());
  constexpr int kPerStretch = 50'000;  // about 300 KB
  auto stretch = [&](int first) {
    std::string bytes;
    for (int i = first; i < first + kPerStretch; ++i) {
      bytes += std::to_string(i) + "\n";
    }
    return bytes;
  };
  const std::string firstStretch = stretch(0);
  const std::string secondStretch = stretch(kPerStretch);
  reading.loop.post([&] {
    pipe.put(firstStretch);
    // Idle long enough for the reader thread to have stopped its timer, then held up again.
    reading.loop.addTimer(reading.clock.now() + std::chrono::milliseconds(20), [&] {
      pipe.put(secondStretch);
      pipe.closeWriteEnd();
    });
  });
  reading.loop.run();
  ASSERT_EQ(reading.lines.size(), static_cast<std::size_t>(2 * kPerStretch));
  for (int i = 0; i < 2 * kPerStretch; ++i) {
    ASSERT_EQ(reading.lines[static_cast<std::size_t>(i)], std::to_string(i));
  }
}

// A parent may hand over a non-blocking pipe: a read that finds it empty is no end of input, and
// the loop waits for it in poll instead.
TEST(LineReader, ANonBlockingPipeIsWaitedForAndReadToItsEnd) {
  Pipe pipe;
  ASSERT_EQ(fcntl(pipe.readEnd(), F_SETFL, O_NONBLOCK), 0);
  Reading reading(pipe.readEnd());
  std::thread writer([&] {
    while (!reading.loop.isWaiting()) {
      std::this_thread::yield();
    }
    pipe.put("first\n");
    pipe.put("second\nthird");
    pipe.closeWriteEnd();
  });
  reading.loop.run();
  writer.join();
  EXPECT_EQ(reading.lines, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_TRUE(reading.ended);
}

TEST(LineReader, ARegularFileIsReadToItsEnd) {
  std::string path = (std::filesystem::temp_directory_path() / "qor-lines-XXXXXX").string();
  int fd = mkstemp(path.data());
  ASSERT_GE(fd, 0);
  std::filesystem::remove(path);
  std::string content;
  for (int i = 0; i < 20'000; ++i) {
    content += "line " + std::to_string(i) + "\r\n";
  }
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  lseek(fd, 0, SEEK_SET);
  {
    Reading reading(fd);
    reading.loop.run();
    ASSERT_EQ(reading.lines.size(), 20'000u);
    EXPECT_EQ(reading.lines.front(), "line 0");
    EXPECT_EQ(reading.lines.back(), "line 19999");
  }
  close(fd);
}

TEST(LineReader, StopsCleanlyBeforeTheEndOfInput) {
  Pipe pipe;
  auto reading = std::make_unique<Reading>(pipe.readEnd());
  pipe.put("one\n");
  reading.reset();  // joins the reader thread although the input never ended
  SUCCEED();
}

}  // namespace
}  // namespace qor::runtime
