#include "p7/reassembly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "p7/frame.h"

namespace vorel::p7 {
namespace {

struct Action {
  enum Kind { kClock, kClose } kind;
  TDateTime value = 0;
  bool operator==(const Action&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Action& a) {
  if (a.kind == Action::kClose) return out << "close";
  return out << "clock " << std::to_string(a.value);
}
Action Clock(TDateTime value) { return {Action::kClock, value}; }
const Action kClose{Action::kClose, 0};

class RecordingCommands : public IServerCommands {
 public:
  void SetClock(TDateTime value) override { actions.push_back(Clock(value)); }
  void CloseRequested() override {
    actions.push_back(kClose);
    if (onClose) onClose();
  }
  std::vector<Action> actions;
  std::function<void()> onClose;
};

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes B(const Frame& f) { return Bytes(f.begin(), f.end()); }
Bytes Head(const Frame& f, std::size_t n) { return Bytes(f.begin(), f.begin() + n); }
Bytes Rest(const Frame& f, std::size_t from) { return Bytes(f.begin() + from, f.end()); }

constexpr TDateTime kNoon = 46366.5;  // 2026-12-10 12:00
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
constexpr double kMsec = 1.0 / 86'400'000.0;

// One arrival of bytes (a socket read) and what must have happened once it is in.
struct Step {
  Bytes bytes;
  std::vector<Action> actionsSoFar;
  std::size_t pending;
};
struct Case {
  const char* name;
  std::vector<Step> steps;
};

std::vector<Case> EdgeCases() {
  Frame badMarker = BuildSetClockFrame(kNoon);
  badMarker[1] = 0xFE;
  const Frame clock = BuildSetClockFrame(kNoon);
  const Frame close = BuildCloseFrame();
  const TDateTime plusOneMs = *EncodeDateTime({2026, 12, 10, 12, 0, 0, 1});
  return {
      {"exactly one clock frame", {{B(clock), {Clock(kNoon)}, 0}}},
      {"554 bytes wait, the 555th completes the frame",
       {{Head(close, 554), {}, 554}, {Rest(close, 554), {kClose}, 0}}},
      {"three pieces of 200, 200 and 155",
       {{Head(clock, 200), {}, 200},
        {Bytes(clock.begin() + 200, clock.begin() + 400), {}, 400},
        {Rest(clock, 400), {Clock(kNoon)}, 0}}},
      {"block without marker dropped, the close after it runs",
       {{Join({B(badMarker), B(close)}), {kClose}, 0}}},
      {"a stray byte puts the stream out of step until other bytes restore it",
       {{Join({{0x00}, B(close), B(clock)}), {}, 1},
        {Join({Bytes(554, 0xAA), B(close)}), {kClose}, 0}}},
      {"close does not stop the clock frame after it",
       {{Join({B(close), B(clock)}), {kClose, Clock(kNoon)}, 0}}},
      {"frames of the driver's own types and unknown types ignored",
       {{Join({B(BuildEventFrame(Bytes(kPayloadSize, 0x11))), B(BuildHelloFrame()),
               B(BuildPortNumberFrame(4)), B(BuildStationLostFrame(31)), B(BuildFrame(0)),
               B(BuildStationRestoredFrame(32)), B(BuildFrame(255))}),
         {},
         0}}},
      {"a tail of one connection is completed by the next",
       {{Head(clock, 100), {}, 100}, {Rest(clock, 100), {Clock(kNoon)}, 0}}},
      {"clock values that are no date-time are ignored, the frames after them handled",
       {{Join({B(BuildSetClockFrame(kNaN)), B(close), B(BuildSetClockFrame(kInf)),
               B(BuildSetClockFrame(-kInf)), B(BuildSetClockFrame(1e300)),
               B(BuildSetClockFrame(-1e300)), B(BuildSetClockFrame(-693594.0)),  // year 0
               B(BuildSetClockFrame(2958466.0)),                                 // year 10000
               B(clock), Head(close, 100)}),
         {kClose, Clock(kNoon)},
         100}}},
      {"clock values are rounded to the millisecond; the calendar's ends are accepted",
       {{Join({B(BuildSetClockFrame(kNoon + 0.4 * kMsec)), B(BuildSetClockFrame(kNoon + 0.6 * kMsec)),
               B(BuildSetClockFrame(-693593.0)), B(BuildSetClockFrame(2958465.5))}),
         {Clock(kNoon), Clock(plusOneMs), Clock(-693593.0), Clock(2958465.5)},
         0}}},
  };
}

enum class Feed { kWhole, kByteByByte, kRandomChunks };

// Cuts one arrival into the calls a socket might make of it.
std::vector<Bytes> Chunks(const Bytes& bytes, Feed feed, std::mt19937& rng) {
  if (feed == Feed::kWhole) return {bytes};
  std::vector<Bytes> out;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t n = 1;
    if (feed == Feed::kRandomChunks) n = std::uniform_int_distribution<std::size_t>(0, 700)(rng);
    n = std::min(n, bytes.size() - at);
    out.emplace_back(bytes.begin() + at, bytes.begin() + at + n);
    at += n;
  }
  return out;
}

TEST(P7Reassembly, EdgeCasesWholeByteByByteAndInRandomChunks) {
  std::mt19937 rng(555);
  for (const auto& c : EdgeCases()) {
    for (Feed feed : {Feed::kWhole, Feed::kByteByByte, Feed::kRandomChunks}) {
      for (int round = 0; round < (feed == Feed::kRandomChunks ? 20 : 1); ++round) {
        SCOPED_TRACE(testing::Message() << c.name << ", feed " << static_cast<int>(feed) << ", round " << round);
        RecordingCommands commands;
        FrameReassembler reassembly(commands);
        for (std::size_t s = 0; s < c.steps.size(); ++s) {
          for (const Bytes& chunk : Chunks(c.steps[s].bytes, feed, rng)) {
            reassembly.Accept(chunk);
            ASSERT_LT(reassembly.PendingSize(), kFrameSize);
          }
          EXPECT_EQ(commands.actions, c.steps[s].actionsSoFar) << "after step " << s;
          EXPECT_EQ(reassembly.PendingSize(), c.steps[s].pending) << "after step " << s;
        }
      }
    }
  }
}

TEST(P7Reassembly, TailHoldsTheUnfinishedBytes) {
  RecordingCommands commands;
  FrameReassembler reassembly(commands);
  const Frame clock = BuildSetClockFrame(kNoon);
  reassembly.Accept(Join({B(BuildCloseFrame()), Head(clock, 30)}));
  EXPECT_EQ(reassembly.Pending(), Head(clock, 30));
}

TEST(P7Reassembly, CommandFeedingBytesFindsTheTailAlreadyKept) {
  // A close handler that runs the event loop may deliver the next read before
  // Accept returns; the 100 bytes already received must not be lost or cut twice.
  RecordingCommands commands;
  FrameReassembler reassembly(commands);
  const Frame clock = BuildSetClockFrame(kNoon);
  bool fed = false;
  commands.onClose = [&] {
    if (fed) return;
    fed = true;
    reassembly.Accept(Rest(clock, 100));
  };
  reassembly.Accept(Join({B(BuildCloseFrame()), Head(clock, 100)}));
  EXPECT_EQ(commands.actions, (std::vector<Action>{kClose, Clock(kNoon)}));
  EXPECT_EQ(reassembly.PendingSize(), 0u);
}

TEST(P7Reassembly, HugeBlockIsCutWithoutKeepingIt) {
  RecordingCommands commands;
  FrameReassembler reassembly(commands);
  reassembly.Accept(Bytes(300, 0x00));  // out of step by 300 bytes
  Bytes huge;
  for (int i = 0; i < 20000; ++i) {
    const Frame f = BuildCloseFrame();
    huge.insert(huge.end(), f.begin(), f.end());
  }
  reassembly.Accept(huge);
  EXPECT_TRUE(commands.actions.empty()) << "no frame is in step";
  EXPECT_EQ(reassembly.PendingSize(), 300u);
  reassembly.Accept(Bytes(255, 0x00));  // back in step
  reassembly.Accept(huge);
  EXPECT_EQ(commands.actions.size(), 20000u);
  EXPECT_EQ(reassembly.PendingSize(), 0u);
}

// Random streams of noise, valid frames and frames with random clock bits, in
// random chunks: nothing may crash, the buffer always holds the stream's length
// modulo 555, and every clock value handed on is a whole-millisecond date-time.
TEST(P7Reassembly, RandomStreamsInRandomChunks) {
  std::mt19937 rng(7788);
  auto pick = [&](std::size_t lo, std::size_t hi) { return std::uniform_int_distribution<std::size_t>(lo, hi)(rng); };
  for (int iteration = 0; iteration < 20000; ++iteration) {
    Bytes stream;
    for (std::size_t piece = pick(1, 6); piece > 0; --piece) {
      switch (pick(0, 3)) {
        case 0: {  // noise, rich in 0xFF
          for (std::size_t n = pick(0, 800); n > 0; --n)
            stream.push_back(pick(0, 3) == 0 ? 0xFF : static_cast<std::uint8_t>(pick(0, 255)));
          break;
        }
        case 1: {  // a clock frame with arbitrary bits in its value
          Frame f = BuildFrame(ftSetClock);
          for (std::size_t i = 0; i < 8; ++i) f[kPayloadOffset + kDateTimeOffset + i] = static_cast<std::uint8_t>(pick(0, 255));
          stream.insert(stream.end(), f.begin(), f.end());
          break;
        }
        case 2: {
          const Frame f = pick(0, 1) ? BuildCloseFrame() : BuildFrame(static_cast<std::uint8_t>(pick(0, 255)));
          stream.insert(stream.end(), f.begin(), f.end());
          break;
        }
        default:
          stream.insert(stream.end(), pick(0, 600), static_cast<std::uint8_t>(pick(0, 1) ? 0xFF : 0x00));
      }
    }
    RecordingCommands commands;
    FrameReassembler reassembly(commands);
    std::size_t fed = 0;
    while (fed < stream.size()) {
      const std::size_t n = std::min(stream.size() - fed, pick(0, 3) == 0 ? pick(0, 5000) : pick(0, 600));
      reassembly.Accept(std::span(stream).subspan(fed, n));
      fed += n;
      ASSERT_EQ(reassembly.PendingSize(), fed % kFrameSize) << "iteration " << iteration;
    }
    for (const Action& a : commands.actions) {
      if (a.kind != Action::kClock) continue;
      ASSERT_TRUE(std::isfinite(a.value)) << "iteration " << iteration;
      ASSERT_TRUE(a.value > -693594.0 && a.value < 2958466.0) << a.value;
      const auto rounded = DecodeDateTime(a.value);
      ASSERT_TRUE(rounded);
      ASSERT_EQ(EncodeDateTime(*rounded), a.value) << "not a whole millisecond";
    }
  }
}

}  // namespace
}  // namespace vorel::p7
