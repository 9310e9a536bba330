#include "popup/popup_items.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class HitTestTest : public ::testing::Test {
 protected:
  std::unique_ptr<PopupItem[]> items_{MakePopupItems()};
  int32_t Hit(int32_t x, int32_t y) { return HitTest(items_.get(), kPopupItemCount, x, y); }
};

TEST_F(HitTestTest, CloseButtonEdges) {
  EXPECT_EQ(Hit(210, 1), kCloseItem);
  EXPECT_EQ(Hit(249, 18), kCloseItem);
  EXPECT_EQ(Hit(209, 1), -1);
  EXPECT_EQ(Hit(210, 0), -1);
  EXPECT_EQ(Hit(250, 1), -1) << "the right edge lies outside";
  EXPECT_EQ(Hit(210, 19), -1) << "the bottom edge lies outside";
}

TEST_F(HitTestTest, TextItemsAndFooter) {
  EXPECT_EQ(Hit(8, 26), kHeadingItem);
  EXPECT_EQ(Hit(241, 45), kHeadingItem);
  EXPECT_EQ(Hit(8, 46), -1);
  EXPECT_EQ(Hit(8, 51), kMessageItem);
  EXPECT_EQ(Hit(241, 73), kMessageItem);
  EXPECT_EQ(Hit(242, 60), -1);
  EXPECT_EQ(Hit(195, 155), kFooterItem);
  EXPECT_EQ(Hit(244, 174), kFooterItem);
  EXPECT_EQ(Hit(245, 160), -1);
}

TEST_F(HitTestTest, BackgroundAndCheckBoxHitNothing) {
  EXPECT_EQ(Hit(0, 0), -1);
  EXPECT_EQ(Hit(100, 10), -1);  // title band left of the close button
  EXPECT_EQ(Hit(20, 125), -1);  // the check box is a window of its own
  EXPECT_EQ(Hit(100, 165), -1);
}

TEST_F(HitTestTest, NoItemsAfterTearDown) {
  EXPECT_EQ(HitTest(items_.get(), 0, 220, 5), -1);
}

TEST(MouseStateTest, HoverRedrawsOnlyForNoneAndTheCloseButton) {
  MouseState m;
  EXPECT_FALSE(MouseMovedTo(&m, kMessageItem));
  EXPECT_EQ(m.HoverItem, kMessageItem);
  EXPECT_TRUE(MouseMovedTo(&m, kCloseItem));
  EXPECT_FALSE(MouseMovedTo(&m, kCloseItem)) << "no change, no redraw";
  EXPECT_TRUE(MouseMovedTo(&m, -1));
  EXPECT_FALSE(MouseMovedTo(&m, -1));
  EXPECT_FALSE(MouseMovedTo(&m, kFooterItem));
}

TEST(MouseStateTest, ReleaseWherePressedClicks) {
  MouseState m;
  EXPECT_FALSE(MousePressedAt(&m, kCloseItem));
  EXPECT_EQ(m.PressedItem, kCloseItem);
  EXPECT_EQ(MouseReleasedAt(&m, kCloseItem), kCloseItem);
  EXPECT_EQ(m.PressedItem, -1);
  EXPECT_EQ(MouseReleasedAt(&m, kCloseItem), -1) << "a release without a press clicks nothing";
}

TEST(MouseStateTest, ReleaseElsewhereClicksNothing) {
  MouseState m;
  MousePressedAt(&m, kCloseItem);
  EXPECT_EQ(MouseReleasedAt(&m, kMessageItem), -1);
  EXPECT_EQ(m.PressedItem, -1);
  MousePressedAt(&m, kCloseItem);
  EXPECT_EQ(MouseReleasedAt(&m, -1), -1);
}

TEST(MouseStateTest, OnlyTheBackgroundDrags) {
  MouseState m;
  EXPECT_TRUE(MousePressedAt(&m, -1));
  EXPECT_EQ(MouseReleasedAt(&m, -1), -1) << "a drag never clicks";
  for (int32_t item : {kFooterItem, kHeadingItem, kMessageItem}) {
    EXPECT_FALSE(MousePressedAt(&m, item));
    EXPECT_EQ(MouseReleasedAt(&m, item), item);
    EXPECT_FALSE(ClickClosesPopup(item));
  }
  EXPECT_TRUE(ClickClosesPopup(kCloseItem));
}

TEST(MouseStateTest, LeavingClearsBoth) {
  MouseState m;
  EXPECT_FALSE(MouseLeft(&m)) << "nothing set, nothing to redraw";
  MouseMovedTo(&m, kMessageItem);
  EXPECT_TRUE(MouseLeft(&m));
  EXPECT_EQ(m.HoverItem, -1);
  MousePressedAt(&m, kCloseItem);
  EXPECT_TRUE(MouseLeft(&m));
  EXPECT_EQ(m.PressedItem, -1);
  EXPECT_EQ(MouseReleasedAt(&m, kCloseItem), -1) << "a press cleared by leaving never clicks";
}

TEST(MouseStateTest, TipLaterFlips) {
  EXPECT_EQ(FlipTipLater(0), 1);
  EXPECT_EQ(FlipTipLater(1), 0);
}

}  // namespace
