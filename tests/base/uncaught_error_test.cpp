#include "base/uncaught_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorel {
namespace {

// Installs a sink that records every report; puts the previous one back.
class UncaughtError : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetUncaughtErrorSink([this](const std::string& m) { reports.push_back(m); });
  }
  void TearDown() override { SetUncaughtErrorSink(previous_); }

  std::vector<std::string> reports;

 private:
  UncaughtErrorSink previous_;
};

TEST_F(UncaughtError, RunGuardedReportsWhatEscapes) {
  const struct {
    const char* name;
    std::function<void()> handler;
    std::vector<std::string> want;
  } cases[] = {
      {"std::exception text", [] { throw std::runtime_error("Порт занят"); }, {"Порт занят"}},
      {"derived exception", [] { throw std::out_of_range("field outside"); }, {"field outside"}},
      {"not an exception", [] { throw 42; }, {"Unknown error"}},
      {"nothing thrown", [] {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reports.clear();
    RunGuarded(c.handler);
    EXPECT_EQ(c.want, reports);
  }
}

TEST_F(UncaughtError, SinkCanBeReplacedAndRestored) {
  std::vector<std::string> other;
  UncaughtErrorSink mine = SetUncaughtErrorSink([&](const std::string& m) { other.push_back(m); });
  ReportUncaughtError("first");
  UncaughtErrorSink theirs = SetUncaughtErrorSink(mine);
  ReportUncaughtError("second");
  EXPECT_EQ(std::vector<std::string>{"first"}, other);
  EXPECT_EQ(std::vector<std::string>{"second"}, reports);
  ASSERT_TRUE(theirs);
  theirs("direct");
  EXPECT_EQ((std::vector<std::string>{"first", "direct"}), other);
}

TEST_F(UncaughtError, WithoutASinkTheMessageGoesToStandardError) {
  const UncaughtErrorSink mine = SetUncaughtErrorSink(nullptr);
  testing::internal::CaptureStderr();
  RunGuarded([] { throw std::runtime_error("lost link"); });
  const std::string printed = testing::internal::GetCapturedStderr();
  SetUncaughtErrorSink(mine);
  EXPECT_EQ("vorel: lost link\n", printed);
  EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace vorel
