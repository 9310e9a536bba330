// Where the pipe moves bytes through kernel pipes: each direction holds one
// while it runs, and both are closed when the pipe ends, in order or by a
// reset; urgent data, which a kernel pipe cannot take, neither stalls the
// stream nor spins; and at the descriptor limit, where no kernel pipe can be
// opened, the pipe copies instead and still carries every byte.
#include "zelmo/pipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "zelmo/pipe_testing.h"

namespace {

using zelmo_testing::kMiB;
using zelmo_testing::Pattern;
using Tcp = asio::ip::tcp::socket;

// Open descriptors of this process that are pipes.
int OpenPipes() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return -1;
  int pipes = 0;
  while (dirent* entry = readdir(dir)) {
    char link[64] = {};
    std::string path = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(path.c_str(), link, sizeof link - 1) > 0 &&
        std::string(link).rfind("pipe:", 0) == 0)
      ++pipes;
  }
  closedir(dir);
  return pipes;
}

TEST(PipePosixTest, KernelPipesAreHeldWhileRunningAndClosedOnEveryEnd) {
  const int before = OpenPipes();
  ASSERT_GE(before, 0);
  {
    zelmo_testing::Joined joined;
    joined.a.out = Pattern(4 * kMiB, 3);
    joined.b.out = Pattern(kMiB, 4);
    int most = 0;
    joined.b.on_received = [&] { most = std::max(most, OpenPipes()); };
    joined.Join("", "");
    joined.Run();
    EXPECT_EQ(joined.done, 1);
    EXPECT_TRUE(joined.b.in == joined.a.out);
    EXPECT_TRUE(joined.a.in == joined.b.out);
    EXPECT_EQ(most, before + 4) << "a kernel pipe of two descriptors per direction";
  }
  EXPECT_EQ(OpenPipes(), before) << "after an orderly end";
  {
    // b resets in the middle of a's bytes: the pipe ends both sides.
    zelmo_testing::Joined joined;
    // More than both sockets' buffers hold, so that the reset finds it running.
    joined.a.out = Pattern(32 * kMiB, 5);
    joined.b.reset_after = kMiB;
    joined.Join("", "");
    joined.Run();
    EXPECT_EQ(joined.done, 1);
    EXPECT_TRUE(joined.a.failure || joined.a.ended);
    EXPECT_LT(joined.counter.load(), static_cast<int64_t>(joined.a.out.size()));
  }
  EXPECT_EQ(OpenPipes(), before) << "after a reset";
}

// The urgent byte goes nowhere, as it never did when the pipe only copied; the
// bytes around it come through in order, and the end after them, whether the
// end came at once or only after the rest had arrived. A move into a kernel
// pipe stops at urgent data: without care the pipe would take the stop for the
// end and lose the rest, or wait for the readable source again and again.
TEST(PipePosixTest, UrgentDataNeitherCutsTheStreamNorSpins) {
  for (bool end_at_once : {true, false}) {
    SCOPED_TRACE(end_at_once ? "a ends at once" : "a ends once b has the rest");
    zelmo_testing::Joined joined;
    joined.Join("", "");
    // Small enough for the socket buffers to take at once: the pipe is not run yet.
    const std::string before = Pattern(16 * 1024, 8);
    const std::string after = Pattern(16 * 1024, 9);
    Tcp& a = joined.a.socket;
    std::error_code ignored;
    asio::write(a, asio::buffer(before));
    a.send(asio::buffer("!", 1), asio::socket_base::message_out_of_band);
    asio::write(a, asio::buffer(after));
    if (end_at_once)
      a.shutdown(Tcp::shutdown_send, ignored);
    joined.b.on_received = [&] {
      if (joined.b.in.size() == before.size() + after.size())
        a.shutdown(Tcp::shutdown_send, ignored);
    };
    joined.b.Start();
    joined.io.run_for(std::chrono::seconds(60));
    joined.pipe.reset();
    EXPECT_EQ(joined.done, 1);
    EXPECT_TRUE(joined.b.ended);
    EXPECT_EQ(joined.b.in.size(), before.size() + after.size());
    EXPECT_TRUE(joined.b.in == before + after);
  }
}

// Holds the soft descriptor limit at the lowest free descriptor, so that no
// new descriptor can be had, until it goes out of scope.
class NoMoreDescriptors {
 public:
  NoMoreDescriptors() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int lowest_free = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(lowest_free);
    rlimit now = saved_;
    now.rlim_cur = static_cast<rlim_t>(lowest_free);
    held_ = lowest_free > 0 && setrlimit(RLIMIT_NOFILE, &now) == 0;
  }
  ~NoMoreDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool held() const { return held_; }

 private:
  rlimit saved_{};
  bool held_ = false;
};

TEST(PipePosixTest, CopiesWhenNoKernelPipeCanBeHad) {
  zelmo_testing::Joined joined;
  joined.a.out = Pattern(2 * kMiB + 3, 6);
  joined.b.out = Pattern(3 * kMiB + 1, 7);
  joined.b.hold_from = kMiB;
  joined.Connect();
  int fds[2];
  int pipe_error = 0;
  {
    NoMoreDescriptors limit;
    ASSERT_TRUE(limit.held());
    if (pipe(fds) == 0) {
      close(fds[0]);
      close(fds[1]);
    } else {
      pipe_error = errno;
    }
    joined.StartPipe("first\n", "");
    joined.Run();
  }
  EXPECT_EQ(pipe_error, EMFILE) << "the limit should leave no descriptor for a kernel pipe";
  EXPECT_EQ(joined.done, 1);
  EXPECT_TRUE(joined.b.ended);
  EXPECT_TRUE(joined.a.ended);
  EXPECT_TRUE(joined.b.in == "first\n" + joined.a.out);
  EXPECT_TRUE(joined.a.in == joined.b.out);
  EXPECT_EQ(joined.counter.load(), static_cast<int64_t>(joined.a.in.size() + joined.b.in.size()));
  EXPECT_EQ(joined.to_b->load(), static_cast<int64_t>(joined.b.in.size()));
  EXPECT_EQ(joined.to_a->load(), static_cast<int64_t>(joined.a.in.size()));
}

}  // namespace
