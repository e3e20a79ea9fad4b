// The link indicators of the status page: a 16 x 16 image with a coloured
// outline (green while the link is up, red while it is down) and a five-pixel
// bar that moves one step with every piece of activity.
#pragma once

#include <QImage>
#include <QLabel>

#include <functional>

namespace vorel {

inline constexpr int kIndicatorSize = 16;
inline constexpr int kMaxActivityCounter = 16;

// Draws the indicator for link flag `up` and activity counter `counter`
// (0..16).
QImage DrawIndicator(bool up, int counter);

// One indicator: its image label, its activity counter and where its link
// flag comes from (the flags belong to the links, not to the panel).
class LinkIndicator {
 public:
  LinkIndicator(QLabel* image, std::function<bool()> linkFlag);

  // Draws from the link flag and the activity counter.
  void Redraw();
  // Counter + 1, 0 after 16, then Redraw.
  void Refresh();

  int Counter() const { return counter_; }

 private:
  QLabel* image_;
  std::function<bool()> linkFlag_;
  int counter_ = 0;
};

}  // namespace vorel
