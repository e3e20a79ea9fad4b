// The status page ("Default"): link indicators, the time since the last frame
// on the main port, the start time, the close password and the log.
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

#include "app/indicator.h"
#include "base/datetime_text.h"

namespace vorel {

// Newest lines the log keeps: a line every 5 s while a server is unreachable
// would otherwise grow it without end in a program that runs for months.
inline constexpr int kMaxLogLines = 10000;

enum class IndicatorId { Port1, Port2, Protocol8, Protocol7 };

struct LinkFlagSources {
  std::function<bool()> port1;
  std::function<bool()> port2;
  std::function<bool()> protocol8;
  std::function<bool()> protocol7;
};

class StatusPanel : public QWidget {
  Q_OBJECT

 public:
  StatusPanel(LinkFlagSources flags, LocaleFormats formats, QWidget* parent = nullptr);

  LinkIndicator& Indicator(IndicatorId id);

  void ShowStartTime(TDateTime value);
  void ShowPassword(const QString& password);
  // The time-of-day part of now − lastFrame in the long time format.
  void ShowTimeSinceLastFrame(TDateTime now, TDateTime lastFrame);
  // Appends "<date-time text> <text>".
  void AddLogLine(TDateTime now, const QString& text);
  void SetProtocol7RowVisible(bool visible);

  // The widgets, by their component names (Image1 is the main port's indicator).
  QLabel* Image1() const { return image1_; }
  QLabel* Image2() const { return image2_; }
  QLabel* Image3() const { return image3_; }
  QLabel* Image4() const { return image4_; }
  QLabel* Label10() const { return label10_; }
  QLabel* Label13() const { return label13_; }
  QLabel* Label16() const { return label16_; }
  QLabel* Protocol7Caption() const { return protocol7Caption_; }
  QPlainTextEdit* Memo1() const { return memo1_; }

 private:
  QLabel* AddCaption(const QString& text, int left, int top, Qt::Alignment align = Qt::AlignLeft);
  QLabel* AddImage(int left, int top);

  LocaleFormats formats_;
  QLabel* image1_;
  QLabel* image2_;
  QLabel* image3_;
  QLabel* image4_;
  QLabel* label10_;
  QLabel* label13_;
  QLabel* label16_;
  QLabel* protocol7Caption_;
  QPlainTextEdit* memo1_;
  std::unique_ptr<LinkIndicator> port1_, port2_, protocol8_, protocol7_;
};

}  // namespace vorel
