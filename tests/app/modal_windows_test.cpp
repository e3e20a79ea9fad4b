// The password dialog and the message box, driven as an operator would.
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

#include "app/message_box.h"
#include "app/password_dialog.h"

namespace vorel {
namespace {

// Runs `act` once the modal window is on show.
void WhenShown(QWidget& window, std::function<void()> act) {
  auto* timer = new QTimer(&window);
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, &window, [&window, timer, act] {
    if (!window.isVisible()) return;
    timer->stop();
    timer->deleteLater();
    act();
  });
  timer->start();
}

TEST(PasswordDialog, OutcomesOfOkCancelAndTitleBar) {
  TForm2 dialog;
  EXPECT_EQ(dialog.windowTitle(), "Закрытый доступ");
  EXPECT_EQ(dialog.size(), QSize(281, 93));
  EXPECT_EQ(dialog.Entry()->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dialog.Entry()->maxLength(), 5);

  struct Row {
    const char* typed;
    std::function<void(TForm2&)> finish;
    PasswordOutcome outcome;
  };
  const Row rows[] = {
      {"12345", [](TForm2& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); }, PasswordOutcome::Accepted},
      {"12346", [](TForm2& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); }, PasswordOutcome::Wrong},
      {"", [](TForm2& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); }, PasswordOutcome::Wrong},
      {"12345", [](TForm2& d) { QTest::mouseClick(d.CancelButton(), Qt::LeftButton); }, PasswordOutcome::Cancelled},
      {"12345", [](TForm2& d) { d.close(); }, PasswordOutcome::Cancelled},
      {"12345", [](TForm2& d) { QTest::keyClick(&d, Qt::Key_Escape); }, PasswordOutcome::Cancelled},
  };
  for (const Row& r : rows) {
    WhenShown(dialog, [&] {
      QTest::keyClicks(dialog.Entry(), r.typed);  // replaces what the selection held
      r.finish(dialog);
    });
    EXPECT_EQ(dialog.Ask("12345"), r.outcome) << r.typed;
  }
}

TEST(PasswordDialog, TheEntryTakesFiveDigitsAndNothingElse) {
  TForm2 dialog;
  WhenShown(dialog, [&] {
    QTest::keyClicks(dialog.Entry(), "1a2b3 4-5,67");
    EXPECT_EQ(dialog.Entry()->text(), "12345");
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  });
  EXPECT_EQ(dialog.Ask("12345"), PasswordOutcome::Accepted);
}

TEST(PasswordDialog, ReshowSelectsThePreviousTextSoTypingReplacesIt) {
  TForm2 dialog;
  QString selectedOnShow;
  WhenShown(dialog, [&] {
    QTest::keyClicks(dialog.Entry(), "11111");
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  });
  dialog.Ask("22222");
  WhenShown(dialog, [&] {
    selectedOnShow = dialog.Entry()->selectedText();
    QTest::keyClicks(dialog.Entry(), "22222");
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  });
  EXPECT_EQ(dialog.Ask("22222"), PasswordOutcome::Accepted);
  EXPECT_EQ(selectedOnShow, "11111");
}

TEST(MessageBox, LaidOutByTheCharacterRuleAndClosedByOk) {
  Tadvsm box;
  EXPECT_EQ(box.windowTitle(), "advsm");
  box.Prepare("Порт уже занят!");
  const MessageBoxGeometry g =
      ComputeMessageBoxGeometry(15, 12, QFontMetrics(box.Label()->font()).horizontalAdvance("Порт уже занят!"));
  EXPECT_EQ(box.width(), g.width);
  EXPECT_EQ(box.height(), 73);
  EXPECT_EQ(box.Label()->x(), 2);
  EXPECT_EQ(box.Label()->width(), g.width);
  EXPECT_EQ(box.OkButton()->x(), g.buttonLeft);
  EXPECT_EQ(box.OkButton()->size(), QSize(72, 25));
  EXPECT_TRUE(box.Label()->font().bold());
  EXPECT_EQ(box.Label()->font().pointSize(), 12);

  WhenShown(box, [&] { QTest::mouseClick(box.OkButton(), Qt::LeftButton); });
  box.ShowMessage("Неправильный пароль. В доступе отказано");
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.Label()->text(), "Неправильный пароль. В доступе отказано");
}

}  // namespace
}  // namespace vorel
