// Cost probe for the meter's inner loops, as docs/meter-design.md plans them:
// not the meter, only its three hot loops written plainly, to check the
// per-frame budget before the engine unit is built.
//
//   g++ -O3 -ffp-contract=off -march=x86-64-v3 bench/meter_cost_probe.cpp -o build/meter_cost_probe
//   ./build/meter_cost_probe [seconds]
//
// 1. K-weighting + sums of squares: two biquads in direct form I per channel,
//    double state; plainly, then with the two channels in the lanes of one
//    SSE2 register (the planned form); the recursion's serial path is one
//    multiply and one subtract per stage.
// 2. The 4x screen: the BS.1770 filter in float32, vectorised across frames
//    (each output's taps summed in order), plus the local-maximum test.
// 3. One anchor: six 128-tap float32 dot products as eight interleaved
//    partial sums.
// Medians of several rounds, ns per stereo frame, against a memcpy.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <emmintrin.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class F>
double median_seconds(int rounds, F&& f) {
  std::vector<double> t;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    f();
    t.push_back(seconds_since(start));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

struct Biquad {
  double b0, b1, b2, a1, a2;
};

// 48 kHz K-weighting (the printed table).
constexpr Biquad kShelf{1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                        0.73248077421585};
constexpr Biquad kHighPass{1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};

// Stereo K-weighting and per-sub-block sums of squares; planar input.
double k_weight_stereo(const float* left, const float* right, std::size_t frames,
                       std::size_t subblock, std::vector<double>& sums) {
  constexpr int C = 2;
  double x1[2][C] = {}, x2[2][C] = {}, y1[2][C] = {}, y2[2][C] = {};
  double acc[C] = {};
  const float* in[C] = {left, right};
  const Biquad stages[2] = {kShelf, kHighPass};
  std::size_t filled = 0;
  for (std::size_t n = 0; n < frames; ++n) {
    double v[C];
    for (int c = 0; c < C; ++c) v[c] = in[c][n];
    for (int s = 0; s < 2; ++s) {
      const Biquad& q = stages[s];
      for (int c = 0; c < C; ++c) {
        const double w = ((q.b0 * v[c] + q.b1 * x1[s][c]) + q.b2 * x2[s][c]) - q.a2 * y2[s][c];
        const double y = w - q.a1 * y1[s][c];
        x2[s][c] = x1[s][c];
        x1[s][c] = v[c];
        y2[s][c] = y1[s][c];
        y1[s][c] = y;
        v[c] = y;
      }
    }
    for (int c = 0; c < C; ++c) acc[c] = acc[c] + v[c] * v[c];
    if (++filled == subblock) {
      sums.push_back(acc[0] + 1.41 * acc[1]);
      acc[0] = acc[1] = 0.0;
      filled = 0;
    }
  }
  return acc[0];
}

// Stereo in the two lanes of one SSE2 register, every state in a register:
// the same operations in the same order as k_weight_stereo, lane by lane.
double k_weight_stereo_sse2(const float* left, const float* right, std::size_t frames,
                            std::size_t subblock, std::vector<double>& sums) {
  const __m128d b0a = _mm_set1_pd(kShelf.b0), b1a = _mm_set1_pd(kShelf.b1),
                b2a = _mm_set1_pd(kShelf.b2), a1a = _mm_set1_pd(kShelf.a1),
                a2a = _mm_set1_pd(kShelf.a2);
  const __m128d b0b = _mm_set1_pd(kHighPass.b0), b1b = _mm_set1_pd(kHighPass.b1),
                b2b = _mm_set1_pd(kHighPass.b2), a1b = _mm_set1_pd(kHighPass.a1),
                a2b = _mm_set1_pd(kHighPass.a2);
  __m128d x1a = _mm_setzero_pd(), x2a = x1a, y1a = x1a, y2a = x1a;
  __m128d x1b = x1a, x2b = x1a, y1b = x1a, y2b = x1a, acc = x1a;
  std::size_t filled = 0;
  for (std::size_t n = 0; n < frames; ++n) {
    const __m128d x = _mm_set_pd(right[n], left[n]);
    __m128d w = _mm_sub_pd(
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(b0a, x), _mm_mul_pd(b1a, x1a)), _mm_mul_pd(b2a, x2a)),
        _mm_mul_pd(a2a, y2a));
    const __m128d ya = _mm_sub_pd(w, _mm_mul_pd(a1a, y1a));
    x2a = x1a;
    x1a = x;
    y2a = y1a;
    y1a = ya;
    w = _mm_sub_pd(
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(b0b, ya), _mm_mul_pd(b1b, x1b)), _mm_mul_pd(b2b, x2b)),
        _mm_mul_pd(a2b, y2b));
    const __m128d yb = _mm_sub_pd(w, _mm_mul_pd(a1b, y1b));
    x2b = x1b;
    x1b = ya;
    y2b = y1b;
    y1b = yb;
    acc = _mm_add_pd(acc, _mm_mul_pd(yb, yb));
    if (++filled == subblock) {
      double lanes[2];
      _mm_storeu_pd(lanes, acc);
      sums.push_back(lanes[0] + 1.41 * lanes[1]);
      acc = _mm_setzero_pd();
      filled = 0;
    }
  }
  double lanes[2];
  _mm_storeu_pd(lanes, acc);
  return lanes[0];
}

const float kPhase[4][12] = {
    {14, 90, -161, 272, -487, 1125, 7964, -838, 390, -218, 122, -68},
    {-239, 240, -424, 730, -1364, 3810, 6388, -1641, 832, -477, 271, -155},
    {-155, 271, -477, 832, -1641, 6388, 3810, -1364, 730, -424, 240, -239},
    {-68, 122, -218, 390, -838, 7964, 1125, -487, 272, -161, 90, 14},
};

// The screen over one channel (x has 11 frames of history before x[0]);
// returns the number of anchors at or above `threshold`.
std::size_t screen_channel(const float* x, std::size_t frames, float threshold,
                           std::vector<float>& mags) {
  constexpr std::size_t kBlock = 4096;
  std::size_t anchors = 0;
  mags.resize(4 * kBlock + 2);
  float h[4][12];
  for (int p = 0; p < 4; ++p)
    for (int m = 0; m < 12; ++m) h[p][m] = kPhase[p][m] / 8192.0f;
  float prev = 0.0f;
  for (std::size_t start = 0; start < frames; start += kBlock) {
    const std::size_t count = std::min(kBlock, frames - start);
    float out[4][kBlock];
    for (int p = 0; p < 4; ++p) {
      for (std::size_t n = 0; n < count; ++n) out[p][n] = h[p][0] * x[start + n];
      for (int m = 1; m < 12; ++m) {
        const float c = h[p][m];
        const float* src = x + start - m;
        for (std::size_t n = 0; n < count; ++n) out[p][n] = out[p][n] + c * src[n];
      }
    }
    for (std::size_t n = 0; n < count; ++n)
      for (int p = 0; p < 4; ++p) mags[4 * n + p] = std::fabs(out[p][n]);
    const std::size_t total = 4 * count;
    // Local maxima at or above the threshold; the vectorisable form: a
    // compare mask first, the rare survivors looked at one by one.
    for (std::size_t u = 0; u + 1 < total; ++u) {
      const float here = mags[u];
      const float before = u == 0 ? prev : mags[u - 1];
      anchors += (here >= threshold) & (here >= before) & (here > mags[u + 1]);
    }
    prev = mags[total - 1];
  }
  return anchors;
}

float anchor_cost(const float* x, const float* table /* 16 x 128 */, int centre16) {
  float best = 0.0f;
  const int offsets[6] = {-4, 0, 4, -1, 0, 1};
  for (int k = 0; k < 6; ++k) {
    const int pos = centre16 + offsets[k];
    const int i = pos >> 4, r = pos & 15;
    const float* row = table + 128 * r;
    const float* src = x + i - 63;
    float acc[8];
    for (int j = 0; j < 8; ++j) acc[j] = row[j] * src[j];
    for (int g = 8; g < 128; g += 8)
      for (int j = 0; j < 8; ++j) acc[j] = acc[j] + row[g + j] * src[g + j];
    const float v =
        ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    best = std::max(best, std::fabs(v));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  const std::size_t rate = 48000, frames = static_cast<std::size_t>(seconds * rate);
  const std::size_t pad = 256;
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0f, 0.2f);
  std::vector<float> left(frames + 2 * pad), right(frames + 2 * pad), copy(2 * frames);
  for (auto& v : left) v = noise(rng);
  for (auto& v : right) v = noise(rng);
  std::vector<float> table(16 * 128);
  for (auto& v : table) v = noise(rng) * 0.1f;
  const int rounds = 7;
  std::memset(copy.data(), 0, copy.size() * sizeof(float));

  const double t_copy = median_seconds(rounds, [&] {
    std::memcpy(copy.data(), left.data() + pad, frames * sizeof(float));
    std::memcpy(copy.data() + frames, right.data() + pad, frames * sizeof(float));
  });
  double sink = 0.0;
  const double t_k = median_seconds(rounds, [&] {
    std::vector<double> sums;
    sums.reserve(frames / 4800 + 1);
    sink += k_weight_stereo(left.data() + pad, right.data() + pad, frames, 4800, sums);
    sink += sums.empty() ? 0.0 : sums.back();
  });
  const double t_k3 = median_seconds(rounds, [&] {
    std::vector<double> sums;
    sums.reserve(frames / 4800 + 1);
    sink += k_weight_stereo_sse2(left.data() + pad, right.data() + pad, frames, 4800, sums);
    sink += sums.empty() ? 0.0 : sums.back();
  });
  std::vector<float> mags;
  std::size_t anchors = 0;
  const double t_screen = median_seconds(rounds, [&] {
    anchors = screen_channel(left.data() + pad, frames, 0.7f, mags) +
              screen_channel(right.data() + pad, frames, 0.7f, mags);
  });
  const std::size_t probes = 200000;
  const double t_anchor = median_seconds(rounds, [&] {
    float best = 0.0f;
    for (std::size_t k = 0; k < probes; ++k) {
      const int centre = static_cast<int>(16 * (pad + (k * 97) % (frames - 2 * pad)) + 6);
      best = std::max(best, anchor_cost(left.data(), table.data(), centre));
    }
    sink += best;
  });
  const double per = 1e9 / static_cast<double>(frames);
  std::printf("%.0f s stereo at 48 kHz, median of %d rounds (sink %g)\n", seconds, rounds, sink);
  std::printf("  memcpy of both channels         %6.2f ns/frame\n", t_copy * per);
  std::printf("  K-weighting + sums of squares   %6.2f ns/frame  (%.2fx copy)\n", t_k * per,
              t_k / t_copy);
  std::printf("  same, channels in SSE2 lanes     %6.2f ns/frame  (%.2fx copy)\n", t_k3 * per,
              t_k3 / t_copy);
  std::printf("  4x screen + local maxima        %6.2f ns/frame  (%zu anchors over 0.7)\n",
              t_screen * per, anchors);
  std::printf("  one anchor (6 x 128 taps)       %6.2f ns\n", t_anchor * 1e9 / probes);
  return 0;
}
