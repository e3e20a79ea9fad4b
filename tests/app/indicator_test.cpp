// Indicator pixels: outline colour and the five-pixel bar with its wrap.
#include <QLabel>

#include <gtest/gtest.h>

#include <set>

#include "app/indicator.h"

namespace vorel {
namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGreen = qRgb(0, 128, 0);
const QRgb kRed = qRgb(255, 0, 0);

// Columns 2..13 hold nothing but the bar between y = 5 and y = 11, so they
// show exactly where the lines are.
std::set<int> BarColumns(const QImage& image, QRgb colour) {
  std::set<int> xs;
  for (int x = 2; x <= 13; ++x) {
    bool full = true;
    for (int y = 5; y <= 11; ++y) full = full && image.pixel(x, y) == colour;
    if (full) xs.insert(x);
    EXPECT_EQ(image.pixel(x, 12) == colour, false) << "line end drawn at x=" << x;
  }
  return xs;
}

TEST(Indicator, BarPositionsAndWrap) {
  struct Row {
    int counter;
    std::set<int> inner;  // bar columns within 2..13
  };
  const Row rows[] = {
      {0, {2, 3, 4}},        // x = 0..4, the first two under the outline
      {5, {5, 6, 7, 8, 9}},  //
      {12, {12, 13}},        // x = 12..16: 16 is outside the image
      {14, {2}},             // 14, 15, 16, 1, 2
      {16, {2, 3, 4}},       // 16, 1, 2, 3, 4
  };
  for (const Row& r : rows) {
    const QImage image = DrawIndicator(true, r.counter);
    EXPECT_EQ(BarColumns(image, kGreen), r.inner) << "counter " << r.counter;
  }
}

TEST(Indicator, OutlineColourFollowsTheLinkFlag) {
  for (bool up : {true, false}) {
    const QImage image = DrawIndicator(up, 8);
    const QRgb colour = up ? kGreen : kRed;
    EXPECT_EQ(image.pixel(7, 3), colour);   // top edge
    EXPECT_EQ(image.pixel(7, 14), colour);  // bottom edge
    EXPECT_EQ(image.pixel(0, 8), colour);   // left edge
    EXPECT_EQ(image.pixel(15, 8), colour);  // right edge
    EXPECT_EQ(image.pixel(7, 0), kWhite);   // above the outline
    EXPECT_EQ(image.pixel(5, 8), kWhite);   // inside, off the bar
    EXPECT_EQ(image.pixel(8, 8), colour);   // on the bar
  }
}

TEST(Indicator, RefreshCountsTo16ThenZeroAndRedrawsWithCurrentFlag) {
  QLabel label;
  bool up = false;
  LinkIndicator indicator(&label, [&] { return up; });
  for (int i = 1; i <= 16; ++i) indicator.Refresh();
  EXPECT_EQ(indicator.Counter(), 16);
  indicator.Refresh();
  EXPECT_EQ(indicator.Counter(), 0);
  EXPECT_EQ(label.pixmap().toImage().pixel(3, 8), kRed);

  up = true;  // a flag change without activity: colour changes, bar stays
  indicator.Redraw();
  EXPECT_EQ(indicator.Counter(), 0);
  EXPECT_EQ(label.pixmap().toImage().pixel(3, 8), kGreen);
}

}  // namespace
}  // namespace vorel
