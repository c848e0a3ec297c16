#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "engine/core/number_format.hpp"
#include "engine/detector/filter_design.hpp"
#include "oracle.hpp"

namespace {

using qx::DetectionKind;

struct PlanCase {
  std::uint32_t rate;
  DetectionKind kind;
  unsigned factor;
  bool four_phase;
};

class PlanForRate : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanForRate, ChoosesTheModeOfTheRateTable) {
  const PlanCase& c = GetParam();
  auto plan = qx::plan_for_rate(c.rate, true);
  ASSERT_TRUE(plan.ok());
  const qx::DetectionMode& mode = plan.value();
  EXPECT_EQ(mode.kind, c.kind);
  if (c.kind != DetectionKind::SamplePeak) {
    EXPECT_EQ(mode.four_phase, c.four_phase);
  }
  EXPECT_EQ(mode.factor, c.factor);
  EXPECT_EQ(mode.phase_table.size(), c.factor * 64u);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, PlanForRate,
    ::testing::Values(PlanCase{8000, DetectionKind::KaiserReference, 6, true},
                      PlanCase{11025, DetectionKind::KaiserReference, 4, true},
                      PlanCase{12000, DetectionKind::KaiserReference, 4, true},
                      PlanCase{16000, DetectionKind::KaiserReference, 3, true},
                      PlanCase{22050, DetectionKind::KaiserReference, 2, true},
                      PlanCase{24000, DetectionKind::KaiserReference, 2, true},
                      PlanCase{32000, DetectionKind::KaiserReference, 3, false},
                      PlanCase{44100, DetectionKind::Reference, 0, true},
                      PlanCase{48000, DetectionKind::Reference, 0, true},
                      PlanCase{88200, DetectionKind::Reference, 0, false},
                      PlanCase{96000, DetectionKind::Reference, 0, false},
                      PlanCase{176400, DetectionKind::SamplePeak, 0, false},
                      PlanCase{192000, DetectionKind::SamplePeak, 0, false},
                      PlanCase{4294967295u, DetectionKind::SamplePeak, 0, false}));

TEST(PlanForRate, RejectsEveryOtherTruePeakRate) {
  for (std::uint32_t rate : {1u, 1000u, 44099u, 44101u, 48001u, 96001u, 176399u}) {
    auto plan = qx::plan_for_rate(rate, true);
    ASSERT_TRUE(plan.is_error()) << rate;
    EXPECT_EQ(plan.error().kind, qx::ErrorKind::UnsupportedTruePeakRate);
    EXPECT_EQ(plan.error().sample_rate, rate);
  }
}

TEST(PlanForRate, SamplePeakWithoutTruePeakAtAnyRate) {
  for (std::uint32_t rate : {1u, 12345u, 44100u, 8000u}) {
    auto plan = qx::plan_for_rate(rate, false);
    ASSERT_TRUE(plan.ok());
    EXPECT_EQ(plan.value().kind, DetectionKind::SamplePeak);
  }
}

TEST(BesselI0, FiveNeedsSeventeenTerms) {
  int terms = 0;
  const double v = qx::bessel_i0(6.25);
  EXPECT_EQ(v, oracle::bessel_i0(6.25, terms));
  EXPECT_EQ(terms, 17);
  EXPECT_EQ(qx::format_f64(v), "27.23987182360445");
  EXPECT_EQ(qx::bessel_i0(0.0), 1.0);
}

TEST(ReferenceFilter, AnchorsOrientationAndSums) {
  const auto& h = qx::kReferencePhases;
  EXPECT_EQ(h[0][0], 0.001708984375f);
  EXPECT_EQ(h[0][1], 0.010986328125f);
  EXPECT_EQ(h[0][5], 0.1373291015625f);
  EXPECT_EQ(h[0][6], 0.97216796875f);
  EXPECT_EQ(h[0][11], -0.00830078125f);
  EXPECT_EQ(h[1][5], 0.465087890625f);
  EXPECT_EQ(h[1][6], 0.77978515625f);
  const double sums[4] = {1.0015869140625, 0.9730224609375, 0.9730224609375, 1.0015869140625};
  for (int p = 0; p < 4; ++p) {
    double s = 0.0;
    for (int m = 0; m < 12; ++m) s += h[p][m];
    EXPECT_EQ(s, sums[p]) << "phase " << p;
  }
  for (int m = 0; m < 12; ++m) {
    EXPECT_EQ(h[3][m], h[0][11 - m]);
    EXPECT_EQ(h[2][m], h[1][11 - m]);
  }
}

TEST(ReferenceFilter, PairFormIsExact) {
  for (int row = 0; row < 2; ++row) {
    const float* h = qx::kReferencePhases[row];
    for (int j = 0; j < 6; ++j) {
      const double e = qx::kReferencePairs[row][2 * j];
      const double o = qx::kReferencePairs[row][2 * j + 1];
      EXPECT_EQ(e + o, static_cast<double>(h[j]));
      EXPECT_EQ(e - o, static_cast<double>(h[11 - j]));
    }
  }
  EXPECT_EQ(qx::kReferencePairs[0][10], 0.55474853515625f);
  EXPECT_EQ(qx::kReferencePairs[0][11], -0.41741943359375f);
}

class KaiserBank : public ::testing::TestWithParam<unsigned> {
 protected:
  qx::DetectionMode bank() {
    auto r = qx::build_kaiser_bank(GetParam(), true);
    EXPECT_TRUE(r.ok());
    return std::move(r).value();
  }
};

TEST_P(KaiserBank, RowZeroIsTheUnitImpulse) {
  const auto mode = bank();
  const float* row = mode.phase_row(0);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(row[k], k == 31 ? 1.0f : 0.0f) << k;
}

TEST_P(KaiserBank, MirrorRowsAndSymmetricMiddle) {
  const auto mode = bank();
  const unsigned L = GetParam();
  for (unsigned c = 1; c < L; ++c) {
    const float* a = mode.phase_row(c);
    const float* b = mode.phase_row(L - c);
    for (int k = 0; k < 64; ++k) EXPECT_EQ(a[k], b[63 - k]) << "row " << c << " tap " << k;
  }
}

TEST_P(KaiserBank, RowsSumToOne) {
  const auto mode = bank();
  for (unsigned c = 0; c < GetParam(); ++c) {
    double s = 0.0;
    for (int k = 0; k < 64; ++k) s += mode.phase_row(c)[k];
    EXPECT_NEAR(s, 1.0, 1e-6) << "row " << c;
  }
}

TEST_P(KaiserBank, PairsGiveBackTheTapsWithinOneUlp) {
  // The pair sums and differences were rounded to float32 before halving,
  // so e ± o recovers a tap only to within one unit in the last place of
  // the larger of the two taps.
  const auto mode = bank();
  const unsigned L = GetParam();
  ASSERT_EQ(mode.pair_rows(), (L + 1) / 2 - 1);
  ASSERT_EQ(mode.pair_table.size(), mode.pair_rows() * 64u);
  for (unsigned r = 1; r <= mode.pair_rows(); ++r) {
    const float* t = mode.phase_row(r);
    const float* pairs = mode.pair_row(r);
    for (int j = 0; j < 32; ++j) {
      const float e = pairs[2 * j], o = pairs[2 * j + 1];
      const float larger = std::fmax(std::fabs(t[j]), std::fabs(t[63 - j]));
      const float ulp = std::nextafter(larger, INFINITY) - larger;
      EXPECT_NEAR(e + o, t[j], ulp) << "row " << r << " pair " << j;
      EXPECT_NEAR(e - o, t[63 - j], ulp);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Factors, KaiserBank, ::testing::Values(2u, 3u, 4u, 6u));

TEST(KaiserBank, MiddleRowIsSharedByTheEvenFactors) {
  auto l2 = qx::build_kaiser_bank(2, true).value();
  auto l4 = qx::build_kaiser_bank(4, true).value();
  auto l6 = qx::build_kaiser_bank(6, true).value();
  const double anchors[6] = {0.125643, -0.211244, 0.636503, 0.636503, -0.211244, 0.125643};
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(l2.phase_row(1)[k], l4.phase_row(2)[k]);
    EXPECT_EQ(l2.phase_row(1)[k], l6.phase_row(3)[k]);
  }
  for (int k = 29; k <= 34; ++k) EXPECT_NEAR(l2.phase_row(1)[k], anchors[k - 29], 1e-6);
  EXPECT_NEAR(l2.phase_row(1)[0], -0.000446575, 1e-9);
  EXPECT_NEAR(l2.phase_row(1)[63], -0.000446575, 1e-9);
  EXPECT_TRUE(l2.pair_table.empty());
}

TEST(KaiserBank, FirstPhaseAnchors) {
  auto l4 = qx::build_kaiser_bank(4, true).value();
  EXPECT_NEAR(l4.phase_row(1)[31], 0.900424, 1e-6);
  EXPECT_NEAR(l4.phase_row(1)[32], 0.299814, 1e-6);
  auto l6 = qx::build_kaiser_bank(6, true).value();
  EXPECT_NEAR(l6.phase_row(1)[31], 0.955045, 1e-6);
  EXPECT_NEAR(l6.phase_row(1)[32], 0.190731, 1e-6);
  EXPECT_EQ(l6.pair_rows(), 2u);
}

}  // namespace
