// The popup's two texts per service zone. Zones 1 and 4 read Chinese, held as
// GBK (code page 936) bytes for the ANSI window functions; every other zone
// reads English.
#pragma once
#include <cstdint>

constexpr int kPopupTextSize = 100;  // each chosen text is copied into this much

struct PopupTexts {
  const char* Message;   // the warning, drawn word-wrapped
  const char* TipLabel;  // label of the "Tip later" check box
};

PopupTexts TextsForZone(int32_t zone);
