// Protocol lines and the fixed-size header written on a spare.
#include "zelmo/wire.h"

#include <gtest/gtest.h>

namespace {

TEST(WireTest, LinesSplitOnlyIntoProtocolWords) {
  EXPECT_EQ(zelmo::SplitWords("OPEN 7 SdkMapPort"),
            (std::vector<std::string>{"OPEN", "7", "SdkMapPort"}));
  EXPECT_TRUE(zelmo::SplitWords("OPEN  7").empty());  // an empty word between blanks
  EXPECT_TRUE(zelmo::SplitWords("OPEN\t7").empty());
  EXPECT_EQ(zelmo::MakeLine({"DATA", "7"}), "DATA 7\n");
  std::string buffer = "LINKED\nrest", line;
  ASSERT_TRUE(zelmo::TakeLine(buffer, line));
  EXPECT_EQ(line, "LINKED");
  EXPECT_EQ(buffer, "rest");
  EXPECT_FALSE(zelmo::TakeLine(buffer, line));
}

TEST(WireTest, SpareHeaderHasItsFixedSizeAndNamesTheService) {
  for (const char* service : zelmo::kServiceNames) {
    std::string header = zelmo::MakeSpareHeader(service), parsed;
    ASSERT_EQ(header.size(), zelmo::kSpareHeaderLength);
    EXPECT_EQ(header.back(), '\n');
    ASSERT_TRUE(zelmo::ParseSpareHeader(header, parsed)) << header;
    EXPECT_EQ(parsed, service);
  }
}

TEST(WireTest, SpareHeaderRefusesAnythingElse) {
  std::string service = "unchanged";
  const std::string good = zelmo::MakeSpareHeader("MediaPort");
  std::string unknown = good;
  unknown.replace(6, 9, "MediaPorx");
  std::string no_end = good;
  no_end.back() = ' ';
  std::string other_command = good;
  other_command.replace(0, 5, "SERVX");
  for (const std::string& bad :
       {std::string(), good.substr(1), good + " ", unknown, no_end, other_command,
        std::string(zelmo::kSpareHeaderLength - 1, ' ') + "\n", std::string("SERVE\n")}) {
    EXPECT_FALSE(zelmo::ParseSpareHeader(bad, service)) << bad;
  }
  EXPECT_EQ(service, "unchanged");
}

}  // namespace
