// The engine's one error type and the result wrapper every fallible engine
// call returns. Failures are values here: nothing in the engine throws. The
// only failure that is not an EngineError is running out of memory, which
// the binding layer reports as MemoryError.
#pragma once

#include <cstdint>
#include <utility>
#include <variant>

#include "engine/core/number_format.hpp"

namespace qx {

enum class ErrorKind : std::uint8_t {
  ZeroSampleRate,
  UnsupportedTruePeakRate,
  InvalidThreshold,
  InvalidTime,
  AttackRoundsToZero,
  ZeroChannels,
  IndivisibleSamples,
  NonFiniteSample,
  SampleOutOfRange,
};

// One kind plus the fields that kind carries; the other fields stay zero.
struct EngineError {
  ErrorKind kind{};
  std::uint32_t sample_rate = 0;  // UnsupportedTruePeakRate, AttackRoundsToZero
  const char* name = "";          // InvalidTime: "attack_ms", "hold_ms" or "release_ms"
  double value = 0.0;             // InvalidThreshold, InvalidTime, AttackRoundsToZero (as passed)
  std::uint64_t samples = 0;      // IndivisibleSamples
  std::uint64_t channels = 0;     // IndivisibleSamples
  // NonFiniteSample, SampleOutOfRange: where the sample is, its frame
  // (counted from the first of the audio the call was given) and channel,
  // and the frames per channel of that audio, which place it in a planar
  // block at channel × frames + frame.
  std::uint64_t frame = 0;
  std::uint64_t channel = 0;
  std::uint64_t frames = 0;
  float sample = 0.0f;  // SampleOutOfRange

  static EngineError zero_sample_rate() { return {ErrorKind::ZeroSampleRate}; }
  static EngineError unsupported_true_peak_rate(std::uint32_t rate);
  static EngineError invalid_threshold(double threshold_dBFS);
  static EngineError invalid_time(const char* name, double value);
  static EngineError attack_rounds_to_zero(double attack_ms, std::uint32_t rate);
  static EngineError zero_channels() { return {ErrorKind::ZeroChannels}; }
  static EngineError indivisible_samples(std::uint64_t samples, std::uint64_t channels);
  static EngineError non_finite_sample(std::uint64_t frame, std::uint64_t channel,
                                       std::uint64_t frames);
  static EngineError sample_out_of_range(std::uint64_t frame, std::uint64_t channel,
                                         std::uint64_t frames, float sample);

  bool is_sample_error() const {
    return kind == ErrorKind::NonFiniteSample || kind == ErrorKind::SampleOutOfRange;
  }
  // A sample error's place in its planar block.
  std::uint64_t planar_index() const { return channel * frames + frame; }

  // The fixed English message with the fields written in; a sample is
  // named by its flat index in the planar block, or by `flat_index` where
  // the caller's array orders its samples otherwise.
  Text message() const { return message(planar_index()); }
  Text message(std::uint64_t flat_index) const;
  // What is wrong with a sample, after where it is: "is not finite", or
  // "must be between -4294967296 and 4294967296, got V".
  Text sample_reason() const;
};

// Allocation failed, or a size computation overflowed before it could be
// tried; both mean "this does not fit in memory".
struct OutOfMemory {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(EngineError error) : state_(std::in_place_index<1>, error) {}
  Result(OutOfMemory) : state_(std::in_place_index<2>) {}

  bool ok() const { return state_.index() == 0; }
  bool is_error() const { return state_.index() == 1; }
  bool out_of_memory() const { return state_.index() == 2; }

  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const EngineError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, EngineError, OutOfMemory> state_;
};

}  // namespace qx
