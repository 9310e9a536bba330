#include "popup/popup_geometry.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(PopupCornerTest, FlushWithTheWorkAreasBottomRight) {
  PopupPoint p = PopupCorner({0, 0, 1920, 1040}, kPopupWidth, kPopupHeight);
  EXPECT_EQ(p.x, 1670);
  EXPECT_EQ(p.y, 860);
  p = PopupCorner({0, 0, 1920, 1080}, kPopupWidth, kPopupHeight);
  EXPECT_EQ(p.x, 1670);
  EXPECT_EQ(p.y, 900);
  p = PopupCorner({-1280, 40, 0, 1024}, kPopupWidth, kPopupHeight);
  EXPECT_EQ(p.x, -250);
  EXPECT_EQ(p.y, 844);
}

void ExpectBox(const BlitBox& b, int32_t x, int32_t y, int32_t w, int32_t h) {
  EXPECT_EQ(b.x, x);
  EXPECT_EQ(b.y, y);
  EXPECT_EQ(b.width, w);
  EXPECT_EQ(b.height, h);
}

TEST(NineSliceTest, SkinOverThePopup) {
  SlicePiece p[kSlicePieceCount];
  NineSlice(kSkinFrame, kSkinFrameInner, {0, 0, 250, 180}, p);
  // Borders 35, 35, 25 and 30; the middle grows from 10 x 5 to 180 x 125.
  ExpectBox(p[0].Source, 0, 0, 35, 25);
  ExpectBox(p[0].Dest, 0, 0, 35, 25);
  ExpectBox(p[1].Source, 35, 0, 10, 25);
  ExpectBox(p[1].Dest, 35, 0, 180, 25);
  ExpectBox(p[2].Source, 45, 0, 35, 25);
  ExpectBox(p[2].Dest, 215, 0, 35, 25);
  ExpectBox(p[3].Source, 0, 25, 35, 5);
  ExpectBox(p[3].Dest, 0, 25, 35, 125);
  ExpectBox(p[4].Source, 35, 25, 10, 5);
  ExpectBox(p[4].Dest, 35, 25, 180, 125);
  ExpectBox(p[5].Source, 45, 25, 35, 5);
  ExpectBox(p[5].Dest, 215, 25, 35, 125);
  ExpectBox(p[6].Source, 0, 30, 35, 30);
  ExpectBox(p[6].Dest, 0, 150, 35, 30);
  ExpectBox(p[7].Source, 35, 30, 10, 30);
  ExpectBox(p[7].Dest, 35, 150, 180, 30);
  ExpectBox(p[8].Source, 45, 30, 35, 30);
  ExpectBox(p[8].Dest, 215, 150, 35, 30);
}

TEST(NineSliceTest, OnlyCornersAreKeyed) {
  SlicePiece p[kSlicePieceCount];
  NineSlice(kSkinFrame, kSkinFrameInner, {0, 0, 250, 180}, p);
  for (int i = 0; i < kSlicePieceCount; ++i) {
    bool corner = i == 0 || i == 2 || i == 6 || i == 8;
    EXPECT_EQ(p[i].Keyed, corner) << i;
  }
}

// Every destination pixel is drawn by exactly one piece, wherever the target is.
TEST(NineSliceTest, PiecesTileAnOffsetDestinationExactly) {
  const ItemRect dest = {17, 9, 17 + 301, 9 + 97};
  SlicePiece p[kSlicePieceCount];
  NineSlice(kSkinFrame, kSkinFrameInner, dest, p);
  const int32_t w = dest.right - dest.left, h = dest.bottom - dest.top;
  std::vector<int> covered(w * h, 0);
  for (const SlicePiece& piece : p) {
    const BlitBox& d = piece.Dest;
    ASSERT_GE(d.x, dest.left);
    ASSERT_GE(d.y, dest.top);
    ASSERT_LE(d.x + d.width, dest.right);
    ASSERT_LE(d.y + d.height, dest.bottom);
    for (int32_t y = d.y; y < d.y + d.height; ++y) {
      for (int32_t x = d.x; x < d.x + d.width; ++x)
        ++covered[(y - dest.top) * w + (x - dest.left)];
    }
  }
  for (int c : covered)
    ASSERT_EQ(c, 1);
}

TEST(CloseSpriteTest, PressedWinsOverHover) {
  MouseState m;
  EXPECT_EQ(CloseSpriteX(40, m), 0);
  m.HoverItem = kCloseItem;
  EXPECT_EQ(CloseSpriteX(40, m), 40);
  m.PressedItem = kCloseItem;
  EXPECT_EQ(CloseSpriteX(40, m), 80);
  m.HoverItem = kMessageItem;
  EXPECT_EQ(CloseSpriteX(40, m), 80);
  m.PressedItem = kMessageItem;
  EXPECT_EQ(CloseSpriteX(40, m), 0) << "other items leave the normal sprite";
}

}  // namespace
