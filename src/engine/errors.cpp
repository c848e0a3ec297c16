// Message texts of LimiterError, one place for all of them.
#include "engine/errors.hpp"

#include "engine/number_format.hpp"

namespace qx {

LimiterError LimiterError::unsupported_true_peak_rate(std::uint32_t rate) {
  LimiterError e{ErrorKind::UnsupportedTruePeakRate};
  e.sample_rate = rate;
  return e;
}

LimiterError LimiterError::invalid_threshold(double threshold_dBFS) {
  LimiterError e{ErrorKind::InvalidThreshold};
  e.value = threshold_dBFS;
  return e;
}

LimiterError LimiterError::invalid_time(const char* name, double value) {
  LimiterError e{ErrorKind::InvalidTime};
  e.name = name;
  e.value = value;
  return e;
}

LimiterError LimiterError::attack_rounds_to_zero(double attack_ms, std::uint32_t rate) {
  LimiterError e{ErrorKind::AttackRoundsToZero};
  e.value = attack_ms;
  e.sample_rate = rate;
  return e;
}

LimiterError LimiterError::indivisible_samples(std::uint64_t samples, std::uint64_t channels) {
  LimiterError e{ErrorKind::IndivisibleSamples};
  e.samples = samples;
  e.channels = channels;
  return e;
}

LimiterError LimiterError::non_finite_sample(std::uint64_t index) {
  LimiterError e{ErrorKind::NonFiniteSample};
  e.index = index;
  return e;
}

LimiterError LimiterError::sample_out_of_range(std::uint64_t index, float sample) {
  LimiterError e{ErrorKind::SampleOutOfRange};
  e.index = index;
  e.sample = sample;
  return e;
}

std::string LimiterError::message() const {
  using std::to_string;
  switch (kind) {
    case ErrorKind::ZeroSampleRate:
      return "sample_rate must be greater than zero";
    case ErrorKind::UnsupportedTruePeakRate:
      return "true_peak does not support sample_rate=" + to_string(sample_rate) +
             "; supported rates are 8000, 11025, 12000, 16000, 22050, 24000, 32000, "
             "44100, 48000, 88200, 96000, and every rate at or above 176400 Hz";
    case ErrorKind::InvalidThreshold:
      return "threshold_dBFS must be a finite dBFS value less than or equal to 0, got " +
             format_f64(value);
    case ErrorKind::InvalidTime:
      return std::string(name) + " must be finite and non-negative, got " + format_f64(value);
    case ErrorKind::AttackRoundsToZero:
      return "attack_ms=" + format_f64(value) + " rounds to zero samples at " +
             to_string(sample_rate) + " Hz";
    case ErrorKind::ZeroChannels:
      return "channels must be greater than zero";
    case ErrorKind::IndivisibleSamples:
      return to_string(samples) + " samples cannot be divided into frames with " +
             to_string(channels) + " channels";
    case ErrorKind::NonFiniteSample:
      return "input sample at flat index " + to_string(index) + " is not finite";
    case ErrorKind::SampleOutOfRange:
      return "input sample at flat index " + to_string(index) +
             " must be between -4294967296 and 4294967296, got " + format_f32(sample);
  }
  return "unknown limiter error";
}

}  // namespace qx
