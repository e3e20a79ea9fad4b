// The wide-area relay's delay line and commands: what the system tests'
// figures rest on (a packet held exactly its delay, in order, the loss share
// reproducible by its seed, a cut that drops what is on the wire too).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delay_line.h"
#include "relay_command.h"

namespace vorel::wan {
namespace {

using namespace std::chrono_literals;

Packet Numbered(std::uint8_t n) { return Packet{n}; }

std::vector<std::uint8_t> Firsts(const std::vector<Packet>& packets) {
  std::vector<std::uint8_t> firsts;
  for (const Packet& p : packets) firsts.push_back(p.at(0));
  return firsts;
}

TEST(DelayLine, HoldsEachPacketForTheDelayAndKeepsTheirOrderWhenTheDelayShrinks) {
  const Clock::time_point t0{};
  DelayLine line(1);
  line.SetDelay(100ms);
  line.Offer(Numbered(1), t0);
  line.Offer(Numbered(2), t0 + 10ms);
  line.SetDelay(10ms);  // packet 3 would be due before 1 and 2
  line.Offer(Numbered(3), t0 + 20ms);
  EXPECT_EQ(line.NextDue(), t0 + 100ms);
  EXPECT_TRUE(line.TakeDue(t0 + 99ms).empty());
  EXPECT_EQ(Firsts(line.TakeDue(t0 + 100ms)), std::vector<std::uint8_t>{1});
  EXPECT_EQ(Firsts(line.TakeDue(t0 + 110ms)), (std::vector<std::uint8_t>{2, 3}));
  EXPECT_EQ(line.NextDue(), Clock::time_point::max());
  EXPECT_EQ(line.Counts().delivered, 3u);
}

TEST(DelayLine, TheLossShareIsNearItsValueAndTheSameForTheSameSeed) {
  const auto run = [](std::uint32_t seed) {
    DelayLine line(seed);
    line.SetLoss(0.02);
    for (int i = 0; i < 20000; ++i) line.Offer(Numbered(0), Clock::time_point{});
    return line.Counts().lost;
  };
  const auto lost = run(24);
  EXPECT_GT(lost, 300u);  // 2 % of 20,000 is 400
  EXPECT_LT(lost, 500u);
  EXPECT_EQ(run(24), lost);
  EXPECT_NE(run(25), lost);
}

TEST(DelayLine, ACutDropsWhatComesAndWhatIsOnTheWireUntilRestored) {
  const Clock::time_point t0{};
  DelayLine line(1);
  line.SetDelay(50ms);
  line.Offer(Numbered(1), t0);  // on the wire when the cut comes
  line.SetCut(true);
  line.Offer(Numbered(2), t0 + 10ms);
  EXPECT_TRUE(line.TakeDue(t0 + 60ms).empty());
  line.SetCut(false);
  line.Offer(Numbered(3), t0 + 70ms);
  EXPECT_EQ(Firsts(line.TakeDue(t0 + 120ms)), std::vector<std::uint8_t>{3});
  EXPECT_EQ(line.Counts().cut, 2u);
  EXPECT_EQ(line.Counts().delivered, 1u);
}

TEST(DelayLine, AFullLineDropsWhatComesLikeARoutersQueue) {
  DelayLine line(1, 2);
  line.SetDelay(1s);
  for (std::uint8_t n = 1; n <= 3; ++n) line.Offer(Numbered(n), Clock::time_point{});
  EXPECT_EQ(line.Held(), 2u);
  EXPECT_EQ(line.Counts().overflow, 1u);
  EXPECT_EQ(Firsts(line.TakeDue(Clock::time_point{} + 1s)), (std::vector<std::uint8_t>{1, 2}));
}

TEST(RelayCommand, ParsesEachCommandAndNamesWhatIsWrong) {
  const struct {
    const char* line;
    bool ok;
    RelayCommand::Kind kind;
    double value;
    const char* error;
  } cases[] = {
      {"delay 100", true, RelayCommand::Kind::Delay, 100, ""},
      {"loss 2.5", true, RelayCommand::Kind::Loss, 2.5, ""},
      {"cut", true, RelayCommand::Kind::Cut, 0, ""},
      {"restore", true, RelayCommand::Kind::Restore, 0, ""},
      {"stats", true, RelayCommand::Kind::Stats, 0, ""},
      {"loss 101", false, {}, 0, "loss takes a number from 0 to 100"},
      {"delay -1", false, {}, 0, "delay takes a number from 0 to 60000"},
      {"delay 10 ms", false, {}, 0, "delay takes a number from 0 to 60000"},
      {"loss nan", false, {}, 0, "loss takes a number from 0 to 100"},
      {"cut now", false, {}, 0, "cut takes nothing after it"},
      {"", false, {}, 0, "empty command"},
      {"jitter 5", false, {}, 0, "unknown command: jitter"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto command = ParseRelayCommand(c.line, error);
    ASSERT_EQ(command.has_value(), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(command->kind, c.kind) << c.line;
      EXPECT_EQ(command->value, c.value) << c.line;
    } else {
      EXPECT_EQ(error, c.error) << c.line;
    }
  }
}

}  // namespace
}  // namespace vorel::wan
