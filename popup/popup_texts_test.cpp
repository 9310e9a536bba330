#include "popup/popup_texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

namespace {

// Decodes GBK bytes to UTF-8 with the C library's converter.
std::string GbkToUtf8(const char* gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1))
    return "<no converter>";
  char out[256] = {};
  char* in = const_cast<char*>(gbk);
  size_t in_left = std::strlen(gbk);
  char* at = out;
  size_t out_left = sizeof out - 1;
  size_t done = iconv(cd, &in, &in_left, &at, &out_left);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1) || in_left != 0)
    return "<invalid GBK>";
  return out;
}

TEST(TextsForZoneTest, ZonesOneAndFourReadChinese) {
  for (int32_t zone : {1, 4}) {
    PopupTexts t = TextsForZone(zone);
    EXPECT_EQ(GbkToUtf8(t.Message), "当前网络不稳定，出现丢包!") << zone;
    EXPECT_EQ(GbkToUtf8(t.TipLabel), "稍后提示") << zone;
    EXPECT_EQ(std::strlen(t.Message), 25u);
    EXPECT_EQ(std::strlen(t.TipLabel), 8u);
  }
}

TEST(TextsForZoneTest, EveryOtherZoneReadsEnglish) {
  for (int32_t zone : {0, 2, 3, 5, -1, 14, 2147483647}) {
    PopupTexts t = TextsForZone(zone);
    EXPECT_STREQ(t.Message, "The current network is unstable,packet loss!") << zone;
    EXPECT_STREQ(t.TipLabel, "Tip later") << zone;
  }
}

TEST(TextsForZoneTest, EveryTextFitsItsBuffer) {
  for (int32_t zone : {1, 2}) {
    PopupTexts t = TextsForZone(zone);
    EXPECT_LT(std::strlen(t.Message), static_cast<size_t>(kPopupTextSize));
    EXPECT_LT(std::strlen(t.TipLabel), static_cast<size_t>(kPopupTextSize));
  }
}

}  // namespace
