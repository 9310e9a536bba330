// The Chinese texts are written as escaped GBK bytes so that the source stays
// plain ASCII and no compiler re-encodes them.
#include "popup/popup_texts.h"

namespace {

// "当前网络不稳定，出现丢包!": full-width comma, ASCII exclamation mark.
const char kChineseMessage[] =
    "\xb5\xb1\xc7\xb0\xcd\xf8\xc2\xe7\xb2\xbb\xce\xc8\xb6\xa8\xa3\xac\xb3\xf6\xcf\xd6\xb6\xaa"
    "\xb0\xfc!";
// "稍后提示"
const char kChineseTipLabel[] = "\xc9\xd4\xba\xf3\xcc\xe1\xca\xbe";

const char kEnglishMessage[] = "The current network is unstable,packet loss!";
const char kEnglishTipLabel[] = "Tip later";

}  // namespace

PopupTexts TextsForZone(int32_t zone) {
  if (zone == 1 || zone == 4)
    return {kChineseMessage, kChineseTipLabel};
  return {kEnglishMessage, kEnglishTipLabel};
}
