// A pipe between two loopback connections carries megabytes both ways at once
// without losing, doubling or reordering a byte, sends the bytes it was given
// first before all others, passes one side's end on as a half-close while the
// other side goes on sending, counts every byte it delivers, in all and each
// way, and reports its end once.
#include "zelmo/pipe.h"

#include <gtest/gtest.h>

#include "zelmo/pipe_testing.h"

namespace {

using zelmo_testing::kMiB;
using zelmo_testing::Pattern;

TEST(PipeTest, CarriesBothWaysInOrderAndPassesOnAHalfClose) {
  zelmo_testing::Joined joined;
  const std::string first_to_b = "to b before anything else\n";
  const std::string first_to_a = "to a before anything else\n";
  joined.a.out = Pattern(3 * kMiB + 17, 1);
  // b sends part of its bytes, and the rest only once a's end reached it.
  joined.b.out = Pattern(5 * kMiB + 5, 2);
  joined.b.hold_from = 2 * kMiB;
  joined.Join(first_to_b, first_to_a);
  joined.Run();

  const std::string& a_got = joined.a.in;
  const std::string& b_got = joined.b.in;
  EXPECT_EQ(joined.done, 1);
  EXPECT_FALSE(joined.a.failure) << joined.a.failure.message();
  EXPECT_FALSE(joined.b.failure) << joined.b.failure.message();
  EXPECT_TRUE(joined.a.ended);
  EXPECT_TRUE(joined.b.ended);
  ASSERT_EQ(b_got.size(), first_to_b.size() + joined.a.out.size());
  ASSERT_EQ(a_got.size(), first_to_a.size() + joined.b.out.size());
  EXPECT_TRUE(b_got == first_to_b + joined.a.out) << "bytes from a arrived changed";
  EXPECT_TRUE(a_got == first_to_a + joined.b.out) << "bytes from b arrived changed";
  EXPECT_EQ(joined.counter.load(), static_cast<int64_t>(a_got.size() + b_got.size()));
  EXPECT_EQ(joined.to_b->load(), static_cast<int64_t>(b_got.size()));
  EXPECT_EQ(joined.to_a->load(), static_cast<int64_t>(a_got.size()));
}

}  // namespace
