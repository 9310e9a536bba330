#include "popup/notice_receive.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "popup/tests/console_capture.h"

namespace {

// What the started window threads were handed, and the zone each saw at start.
struct Started {
  std::string devicename, count_value, url_index;
  int32_t zone;
};
std::vector<Started> g_started;

int RecordStart(NoticeBlock* block) {
  g_started.push_back({block->Devicename, block->CountValue, block->UrlIndex, ServiceZone.load()});
  delete block;
  return 0;
}

int FailStart(NoticeBlock*) {
  return -1;
}

class HandleReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_started.clear();
    std::memset(&fields_, 0, sizeof fields_);
    ServiceZone = 1;
  }
  int Receive(const std::string& bytes, PopupStarter start = &RecordStart) {
    return HandleReceive(bytes.data(), static_cast<int>(bytes.size()), &fields_, start);
  }
  ConsoleCapture console_;
  NoticeFields fields_;
};

const std::string kNotice = "Info:WindowPopup,Devicename:cam1,CountValue:12,UrlIndex:2.";

TEST(ServiceZoneOfTest, ReadsLeadingDigitsAsAtoiDoes) {
  EXPECT_EQ(ServiceZoneOf("2."), 2);
  EXPECT_EQ(ServiceZoneOf("14abc"), 14);
  EXPECT_EQ(ServiceZoneOf(" 3"), 3);
  EXPECT_EQ(ServiceZoneOf("-4."), -4);
  EXPECT_EQ(ServiceZoneOf("x1"), 0);
  EXPECT_EQ(ServiceZoneOf(""), 0);
}

TEST(ServiceZoneOfTest, HugeNumbersStayInRange) {
  EXPECT_EQ(ServiceZoneOf("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(ServiceZoneOf("-99999999999"), INT32_MIN);
}

TEST_F(HandleReceiveTest, NoticeStartsAWindowThreadWithItsFields) {
  EXPECT_EQ(Receive(kNotice + '\0'), 0);
  EXPECT_EQ(console_.Take(), "buf:" + kNotice + "\nservicezone:2\n");
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].devicename, "cam1");
  EXPECT_EQ(g_started[0].count_value, "12");
  EXPECT_EQ(g_started[0].url_index, "2.");
  EXPECT_EQ(g_started[0].zone, 2) << "the zone is set before the thread starts";
  EXPECT_EQ(ServiceZone.load(), 2);
}

TEST_F(HandleReceiveTest, OnlyTheFirstOfTwoNoticesInOneReceiveIsHandled) {
  std::string second = "Info:WindowPopup,Devicename:cam2,CountValue:1,UrlIndex:4.";
  EXPECT_EQ(Receive(kNotice + '\0' + second + '\0'), 0);
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].devicename, "cam1");
  EXPECT_EQ(console_.Take(), "buf:" + kNotice + "\nservicezone:2\n");
}

TEST_F(HandleReceiveTest, NoticeSplitOverTwoReceivesIsDropped) {
  EXPECT_EQ(Receive("Info:WindowPopup,Devicename:cam1,Count"), -1);
  EXPECT_EQ(Receive(std::string("Value:12,UrlIndex:2.") + '\0'), -1);
  EXPECT_TRUE(g_started.empty());
  EXPECT_EQ(console_.Take(),
            "buf:Info:WindowPopup,Devicename:cam1,Count\nGet CountValue Error!\n"
            "buf:Value:12,UrlIndex:2.\nGet Info Error!\n");
  EXPECT_EQ(ServiceZone.load(), 1);
}

TEST_F(HandleReceiveTest, SplitNoticeWhoseFirstPartHasAllKeysUsesThatPart) {
  EXPECT_EQ(Receive("Info:WindowPopup,Devicename:cam1,CountValue:12,UrlIndex:3"), 0);
  EXPECT_EQ(Receive(std::string("1.") + '\0'), -1);
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].url_index, "3");
  EXPECT_EQ(ServiceZone.load(), 3);
}

TEST_F(HandleReceiveTest, OnlyTheFirstLineCounts) {
  EXPECT_EQ(Receive("\n\n" + kNotice + "\nInfo:x,Devicename:other,CountValue:0,UrlIndex:4."), 0);
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].devicename, "cam1");
  EXPECT_EQ(ServiceZone.load(), 2);
}

TEST_F(HandleReceiveTest, TextWithoutALineIsReported) {
  EXPECT_EQ(Receive(std::string("\n\n\n") + '\0' + kNotice), -1);
  EXPECT_EQ(Receive(std::string(1, '\0') + kNotice), -1);
  EXPECT_TRUE(g_started.empty());
  std::string out = console_.Take();
  EXPECT_EQ(out.rfind("buf:\n\n\n\nstrtok() error,error code:", 0), 0u) << out;
  EXPECT_NE(out.find("buf:\nstrtok() error,error code:"), std::string::npos) << out;
  EXPECT_EQ(out.find('\n', out.rfind(':')), std::string::npos) << "the message has no line feed";
}

TEST_F(HandleReceiveTest, TextEndsAtTheReceivedLengthWhenThereIsNoNul) {
  std::string bytes = kNotice + "STALE BYTES";
  HandleReceive(bytes.data(), static_cast<int>(kNotice.size()), &fields_, &RecordStart);
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].url_index, "2.");
}

TEST_F(HandleReceiveTest, FullReceiveWithoutNulIsPrintedWhole) {
  std::string bytes = kNotice + ",Pad:" + std::string(kReceiveCapacity, 'p');
  bytes.resize(kReceiveCapacity);
  EXPECT_EQ(Receive(bytes), 0);
  EXPECT_EQ(console_.Take(), "buf:" + bytes + "\nservicezone:2\n");
}

TEST_F(HandleReceiveTest, FailedStartIsReportedAfterTheZone) {
  EXPECT_EQ(Receive(kNotice + '\0', &FailStart), -1);
  EXPECT_EQ(console_.Take(), "buf:" + kNotice + "\nservicezone:2\ncreate windows thread error\n");
}

TEST_F(HandleReceiveTest, EmptyDevicenameKeepsTheLastOneInTheBlock) {
  Receive(kNotice + '\0');
  Receive(std::string("Info:Other,Devicename:,CountValue:7,UrlIndex:4.") + '\0');
  ASSERT_EQ(g_started.size(), 2u);
  EXPECT_EQ(g_started[1].devicename, "cam1");
  EXPECT_EQ(g_started[1].count_value, "7");
  EXPECT_EQ(g_started[1].zone, 4);
}

TEST_F(HandleReceiveTest, ZoneWithoutDigitsIsZero) {
  Receive(std::string("Info:WindowPopup,Devicename:d,CountValue:1,UrlIndex:x9") + '\0');
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].zone, 0);
  EXPECT_NE(console_.Take().find("servicezone:0\n"), std::string::npos);
}

}  // namespace
