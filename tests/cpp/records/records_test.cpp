#include "control_loop/records.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

using namespace quillet::control_loop;

TEST(TorsoPosition, BuiltOnlyFromTwoTwoThreeAndThreeValues) {
  const std::vector<double> two{0.1, 0.2}, three{0.0, 0.1, -0.1}, one{0.1}, none{};
  const auto position = torso_position_from(two, two, three, three, 5.0);
  ASSERT_TRUE(position.has_value());
  EXPECT_EQ(position->left_arm, (std::array<double, 2>{0.1, 0.2}));
  EXPECT_EQ(position->neck, (std::array<double, 3>{0.0, 0.1, -0.1}));
  EXPECT_EQ(position->timestamp, 5.0);
  EXPECT_FALSE(torso_position_from(three, two, three, three, 0.0));
  EXPECT_FALSE(torso_position_from(two, one, three, three, 0.0));
  EXPECT_FALSE(torso_position_from(two, two, none, three, 0.0));
  EXPECT_FALSE(torso_position_from(two, two, three, two, 0.0));
}

TEST(TorsoPosition, ServoValuesFillArmsThenNoseInJointOrder) {
  const auto position =
      torso_position_from_joints({1, 2, 3, 4, 5, 6, 7}, {8, 9, 10}, 1.5);
  EXPECT_EQ(position.left_arm, (std::array<double, 2>{1, 2}));
  EXPECT_EQ(position.right_arm, (std::array<double, 2>{3, 4}));
  EXPECT_EQ(position.nose, (std::array<double, 3>{5, 6, 7}));
  EXPECT_EQ(position.neck, (std::array<double, 3>{8, 9, 10}));
}

TEST(TorsoPosition, RepresentationUsesListFormAndThreeDecimalTimestamp) {
  const QuilletTorsoPosition position{{0.1, 0.2}, {0.3, 0.4}, {0.0, 0.0, 0.0}, {0.0, 0.1, -0.1},
                                      1733500000.125};
  EXPECT_EQ(representation(position),
            "QuilletTorsoPosition(left_arm=[0.1, 0.2], right_arm=[0.3, 0.4], nose=[0.0, 0.0, 0.0], "
            "neck=[0.0, 0.1, -0.1], timestamp=1733500000.125)");
  const QuilletTorsoPosition tiny{{1e-5, -0.0}, {2.5e-7, 1e16}, {0.0001, 1.0, -0.25}, {0, 0, 0}, 0.0};
  EXPECT_EQ(representation(tiny),
            "QuilletTorsoPosition(left_arm=[1e-5, -0.0], right_arm=[2.5e-7, 1e16], "
            "nose=[0.0001, 1.0, -0.25], neck=[0.0, 0.0, 0.0], timestamp=0.000)");
}

TEST(TorsoPosition, WallClockTimestampIsSecondsSinceTheEpoch) {
  const double before = std::chrono::duration<double>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  const double stamp = wall_clock_timestamp();
  EXPECT_GE(stamp, before - 1e-3);
  EXPECT_LT(stamp, before + 5.0);
}

TEST(ControlLoopStats, MeansInMillisecondsWithNaNForNoSamples) {
  const std::vector<double> period{0.009, 0.011}, read_dt{0.001, 0.0015};
  EXPECT_DOUBLE_EQ(mean_milliseconds(samples_of(std::vector<double>{0.010, 0.012})), 11.0);
  EXPECT_TRUE(std::isnan(mean_milliseconds(Samples{})));
  const ControlLoopStats stats{samples_of(period), samples_of(read_dt), {}};
  EXPECT_EQ(representation(stats),
            "ControlLoopStats(period=~10.00ms, read_dt=~1.25 ms, write_dt=~NaN ms)");
  EXPECT_EQ(representation(ControlLoopStats{}),
            "ControlLoopStats(period=~NaNms, read_dt=~NaN ms, write_dt=~NaN ms)");
}

std::vector<double> counting(std::size_t from, std::size_t to) {
  std::vector<double> values;
  for (std::size_t i = from; i < to; ++i) values.push_back(static_cast<double>(i));
  return values;
}

TEST(Samples, ViewsAreCompleteAndInOrderAcrossBlocksAndKeepWhatTheyHeld) {
  constexpr std::size_t kBlock = quillet::control_loop::detail::SampleBlock::kCapacity;
  std::optional<SampleLog> log(std::in_place);
  Samples at_boundary, past_boundary;
  for (std::size_t i = 0; i < 3 * kBlock + 5; ++i) {
    if (i == kBlock) at_boundary = log->samples();
    if (i == kBlock + 1) past_boundary = log->samples();
    log->append(static_cast<double>(i));
  }
  const Samples all = log->samples();
  log.reset();  // the views keep their samples without the log

  EXPECT_EQ(at_boundary.to_vector(), counting(0, kBlock));
  EXPECT_EQ(past_boundary.to_vector(), counting(0, kBlock + 1));
  EXPECT_EQ(all.size(), 3 * kBlock + 5);
  EXPECT_EQ(all.to_vector(), counting(0, 3 * kBlock + 5));
  EXPECT_EQ(all.spans().size(), 4u);
  for (std::size_t from : {std::size_t{1}, kBlock - 1, kBlock, 2 * kBlock + 3, 3 * kBlock + 4}) {
    EXPECT_EQ(all.to_vector(from), counting(from, 3 * kBlock + 5)) << from;
  }
  EXPECT_TRUE(all.spans(3 * kBlock + 5).empty());
  EXPECT_TRUE(all.to_vector(10 * kBlock).empty());
  EXPECT_TRUE(Samples{}.spans().empty());
}

TEST(Samples, AViewSharesTheLogsSamplesAndSeesNothingAppendedLater) {
  SampleLog log;
  for (int i = 0; i < 10; ++i) log.append(i);
  const Samples view = log.samples();
  const Samples copy = view;  // what a reader takes under the lock: no sample is copied
  log.append(10.0);
  EXPECT_EQ(copy.spans().front().data(), log.samples().spans().front().data());
  EXPECT_EQ(copy.size(), 10u);
  EXPECT_EQ(copy.to_vector(), counting(0, 10));
  EXPECT_EQ(log.samples().to_vector(), counting(0, 11));
}
