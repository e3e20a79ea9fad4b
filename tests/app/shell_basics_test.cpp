// The shell's small rules: message box sizing, the close password, the text of
// an uncaught error, the error log file.
#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "app/close_password.h"
#include "app/error_log.h"
#include "app/message_box.h"
#include "app/operator_log.h"
#include "app/vorel_application.h"
#include "support/loopback.h"

namespace vorel {
namespace {

TEST(MessageBoxGeometry, FollowsCharacterCountRule) {
  struct Row {
    int characters;
    int textWidth;
    int width;
    int buttonLeft;
  };
  const Row rows[] = {
      {15, 0, 150, 39},    // "Порт уже занят!"
      {39, 0, 390, 159},   // "Неправильный пароль. В доступе отказано"
      {21, 0, 210, 69},    // "Не правильный пароль."
      {7, 0, 70, -1},      // narrower than the button: rounded toward zero
      {15, 200, 204, 66},  // a font wider than the rule: the box grows to fit
  };
  for (const Row& r : rows) {
    const MessageBoxGeometry g = ComputeMessageBoxGeometry(r.characters, 12, r.textWidth);
    EXPECT_EQ(g.width, r.width) << r.characters;
    EXPECT_EQ(g.buttonLeft, r.buttonLeft) << r.characters;
  }
}

TEST(ClosePassword, AlwaysFiveDigitsBetween10000And99998) {
  EXPECT_EQ(ClosePasswordFromRandom(0), "10000");
  EXPECT_EQ(ClosePasswordFromRandom(89998), "99998");
  std::set<std::string> seen;
  for (std::uint32_t seed = 0; seed < 2000; ++seed) {
    const std::string p = MakeClosePassword(seed * 2654435761u);
    ASSERT_EQ(p.size(), 5u) << p;
    const int value = std::stoi(p);
    ASSERT_GE(value, 10000);
    ASSERT_LE(value, 99998);
    seen.insert(p);
  }
  EXPECT_GT(seen.size(), 1900u) << "the seed must change the password";
}

TEST(OperatorLog, ASpoolLossReadsInRussianWithTheSystemsReason) {
  const struct {
    const char* loss;
    const char* line;
  } rows[] = {
      {"протокол 8, rtEventMain lost: spool file spool/2DC06B63.dd8: No space left on device",
       "Событие не записано в буфер (протокол 8, rtEventMain): файл spool/2DC06B63.dd8: No space left on device"},
      {"протокол 7, ftEvent lost: spool file not written",
       "Событие не записано в буфер (протокол 7, ftEvent): файл не записан"},
      {"протокол 7, ftEvent lost: no spool name: the date-time is not a date",
       "Событие не записано в буфер (протокол 7, ftEvent): нет имени файла: часы не дают даты"},
      {"something else", "Событие не записано в буфер: something else"},
  };
  for (const auto& r : rows) EXPECT_EQ(SpoolLossLine(r.loss), r.line);
}

TEST(UncaughtError, FullStopAddedOnlyWhenMissing) {
  EXPECT_EQ(UncaughtErrorText("'25:00:00' is not a valid time"), "'25:00:00' is not a valid time.");
  EXPECT_EQ(UncaughtErrorText("Unable to write."), "Unable to write.");
}

int VisibleMessageBoxes() {
  int boxes = 0;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<QMessageBox*>(w) && w->isVisible()) ++boxes;
  return boxes;
}

// Without a display nobody could close a box, and each would hold a nested
// event loop for good; with one, an error that comes while a box is open is
// told on standard error only, never in a second box.
TEST(UncaughtError, NoBoxWithoutADisplayAndNeverTwoAtOnce) {
  EXPECT_FALSE(HasDisplay("offscreen"));
  EXPECT_FALSE(HasDisplay("minimal"));
  EXPECT_TRUE(HasDisplay("xcb"));
  EXPECT_TRUE(HasDisplay("wayland"));

  SetUncaughtErrorBoxes(false);
  ShowUncaughtError("headless");
  bool boxSeen = false;
  test::PumpUntil([&] { return (boxSeen = VisibleMessageBoxes() > 0); }, std::chrono::milliseconds(100));
  EXPECT_FALSE(boxSeen);

  SetUncaughtErrorBoxes(true);
  int boxesWhileOpen = -1;
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll.stop();
    ShowUncaughtError("second, while the first is open");
    QCoreApplication::processEvents();
    boxesWhileOpen = VisibleMessageBoxes();
    box->accept();
  });
  poll.start();
  ShowUncaughtError("first");
  EXPECT_TRUE(test::PumpUntil([&] { return boxesWhileOpen >= 0 && VisibleMessageBoxes() == 0; }));
  EXPECT_EQ(boxesWhileOpen, 1);
}

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ErrorLog, CreatesThenAppendsWindows1251Lines) {
  QTemporaryDir dir;
  const std::filesystem::path file = std::filesystem::path(dir.path().toStdString()) / "error.txt";
  LogError(19, file);
  const std::string line19 = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "19\r\n";  // "ошибка №19"
  EXPECT_EQ(ReadAll(file), line19);
  LogError(9, file);
  EXPECT_EQ(ReadAll(file), line19 + "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "9\r\n");
}

TEST(ErrorLog, FailureReachesTheCaller) {
  QTemporaryDir dir;
  // A directory in place of the file: neither root nor anyone can write it.
  const std::filesystem::path file = std::filesystem::path(dir.path().toStdString()) / "error.txt";
  std::filesystem::create_directory(file);
  EXPECT_THROW(LogError(9, file), std::runtime_error);
}

}  // namespace
}  // namespace vorel
