#include "popup/notice_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "popup/tests/console_capture.h"

namespace {

NoticeFields Blank() {
  NoticeFields f;
  std::memset(&f, 0, sizeof f);
  return f;
}

TEST(ParseNoticeTest, ReadsTheSendersFormat) {
  ConsoleCapture console;
  NoticeFields f = Blank();
  ASSERT_EQ(ParseNotice("Info:WindowPopup,Devicename:Front door,CountValue:-17,UrlIndex:2.", &f),
            0);
  EXPECT_STREQ(f.Info, "WindowPopup");
  EXPECT_STREQ(f.Devicename, "Front door");
  EXPECT_STREQ(f.CountValue, "-17");
  EXPECT_STREQ(f.UrlIndex, "2.");
  EXPECT_EQ(console.Take(), "");
}

TEST(ParseNoticeTest, KeysInAnyOrder) {
  ConsoleCapture console;
  NoticeFields f = Blank();
  ASSERT_EQ(ParseNotice("UrlIndex:3.,CountValue:9,Devicename:cam,Info:WindowPopup", &f), 0);
  EXPECT_STREQ(f.Info, "WindowPopup");
  EXPECT_STREQ(f.Devicename, "cam");
  EXPECT_STREQ(f.CountValue, "9");
  EXPECT_STREQ(f.UrlIndex, "3.");
}

TEST(ParseNoticeTest, ValuesAreNotCheckedAndEmptyKeepsThePrevious) {
  ConsoleCapture console;
  NoticeFields f = Blank();
  std::strcpy(f.Devicename, "earlier");
  ASSERT_EQ(ParseNotice("Info:Other,Devicename:,CountValue:7,UrlIndex:4.", &f), 0);
  EXPECT_STREQ(f.Info, "Other");
  EXPECT_STREQ(f.Devicename, "earlier");
  EXPECT_STREQ(f.CountValue, "7");
  EXPECT_STREQ(f.UrlIndex, "4.");
}

TEST(ParseNoticeTest, SpacesPeriodsCarriageReturnsAndColonsStay) {
  ConsoleCapture console;
  NoticeFields f = Blank();
  ASSERT_EQ(ParseNotice("Info: Window Popup ,Devicename:a:b.c,CountValue:1,UrlIndex:2.\r", &f), 0);
  EXPECT_STREQ(f.Info, " Window Popup ");
  EXPECT_STREQ(f.Devicename, "a:b.c");
  EXPECT_STREQ(f.UrlIndex, "2.\r");
}

TEST(ParseNoticeTest, MissingKeyPrintsItsMessageAndKeepsEarlierKeys) {
  ConsoleCapture console;
  NoticeFields f = Blank();
  std::strcpy(f.CountValue, "old count");
  std::strcpy(f.UrlIndex, "old index");
  EXPECT_EQ(ParseNotice("Info:WindowPopup,Devicename:cam2,UrlIndex:1.", &f), -1);
  EXPECT_EQ(console.Take(), "Get CountValue Error!\n");
  EXPECT_STREQ(f.Info, "WindowPopup");
  EXPECT_STREQ(f.Devicename, "cam2");
  EXPECT_STREQ(f.CountValue, "old count");
  EXPECT_STREQ(f.UrlIndex, "old index");
}

TEST(ParseNoticeTest, EachMissingKeyHasItsOwnMessage) {
  struct Case {
    const char* line;
    const char* message;
  } cases[] = {
      {"Devicename:a,CountValue:1,UrlIndex:1.", "Get Info Error!\n"},
      {"Info:x,CountValue:1,UrlIndex:1.", "Get Devicename Error!\n"},
      {"Info:x,Devicename:a,UrlIndex:1.", "Get CountValue Error!\n"},
      {"Info:x,Devicename:a,CountValue:1", "Get UrlIndex Error!\n"},
      {"", "Get Info Error!\n"},
  };
  for (const Case& c : cases) {
    ConsoleCapture console;
    NoticeFields f = Blank();
    EXPECT_EQ(ParseNotice(c.line, &f), -1) << c.line;
    EXPECT_EQ(console.Take(), c.message) << c.line;
  }
}

TEST(ParseNoticeTest, LongValueIsCutTo63WithoutTouchingItsNeighbour) {
  ConsoleCapture console;
  NoticeFields f = Blank();
  std::string name(100, 'n');
  std::string line =
      "Info:" + std::string(80, 'i') + ",Devicename:" + name + ",CountValue:3,UrlIndex:2.";
  ASSERT_EQ(ParseNotice(line.c_str(), &f), 0);
  EXPECT_EQ(std::string(f.Info), std::string(63, 'i'));
  EXPECT_EQ(std::string(f.Devicename), std::string(63, 'n'));
  EXPECT_STREQ(f.CountValue, "3");
  EXPECT_STREQ(f.UrlIndex, "2.");
}

}  // namespace
