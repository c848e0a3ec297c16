// Message texts of LimiterError, one place for all of them.
#include "engine/core/errors.hpp"

#include "engine/core/rates.hpp"

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

Text LimiterError::message() const {
  Text text;
  switch (kind) {
    case ErrorKind::ZeroSampleRate:
      text += "sample_rate must be greater than zero";
      break;
    case ErrorKind::UnsupportedTruePeakRate:
      text += "true_peak does not support sample_rate=";
      text += format_u64(sample_rate);
      text += "; supported rates are ";
      for (std::uint32_t rate : kTruePeakRates) {
        text += format_u64(rate);
        text += ", ";
      }
      text += "and every rate at or above ";
      text += format_u64(kTruePeakEveryRateFrom);
      text += " Hz";
      break;
    case ErrorKind::InvalidThreshold:
      text += "threshold_dBFS must be a finite dBFS value less than or equal to 0, got ";
      text += format_f64(value);
      break;
    case ErrorKind::InvalidTime:
      text += name;
      text += " must be finite and non-negative, got ";
      text += format_f64(value);
      break;
    case ErrorKind::AttackRoundsToZero:
      text += "attack_ms=";
      text += format_f64(value);
      text += " rounds to zero samples at ";
      text += format_u64(sample_rate);
      text += " Hz";
      break;
    case ErrorKind::ZeroChannels:
      text += "channels must be greater than zero";
      break;
    case ErrorKind::IndivisibleSamples:
      text += format_u64(samples);
      text += " samples cannot be divided into frames with ";
      text += format_u64(channels);
      text += " channels";
      break;
    case ErrorKind::NonFiniteSample:
      text += "input sample at flat index ";
      text += format_u64(index);
      text += " is not finite";
      break;
    case ErrorKind::SampleOutOfRange:
      text += "input sample at flat index ";
      text += format_u64(index);
      text += " must be between -4294967296 and 4294967296, got ";
      text += format_f32(sample);
      break;
  }
  return text;
}

}  // namespace qx
