// Message texts of EngineError, one place for all of them.
#include "engine/core/errors.hpp"

#include "engine/core/rates.hpp"

namespace qx {

EngineError EngineError::unsupported_true_peak_rate(std::uint32_t rate) {
  EngineError e{ErrorKind::UnsupportedTruePeakRate};
  e.sample_rate = rate;
  return e;
}

EngineError EngineError::invalid_threshold(double threshold_dBFS) {
  EngineError e{ErrorKind::InvalidThreshold};
  e.value = threshold_dBFS;
  return e;
}

EngineError EngineError::invalid_time(const char* name, double value) {
  EngineError e{ErrorKind::InvalidTime};
  e.name = name;
  e.value = value;
  return e;
}

EngineError EngineError::attack_rounds_to_zero(double attack_ms, std::uint32_t rate) {
  EngineError e{ErrorKind::AttackRoundsToZero};
  e.value = attack_ms;
  e.sample_rate = rate;
  return e;
}

EngineError EngineError::indivisible_samples(std::uint64_t samples, std::uint64_t channels) {
  EngineError e{ErrorKind::IndivisibleSamples};
  e.samples = samples;
  e.channels = channels;
  return e;
}

EngineError EngineError::non_finite_sample(std::uint64_t frame, std::uint64_t channel,
                                           std::uint64_t frames) {
  EngineError e{ErrorKind::NonFiniteSample};
  e.frame = frame;
  e.channel = channel;
  e.frames = frames;
  return e;
}

EngineError EngineError::sample_out_of_range(std::uint64_t frame, std::uint64_t channel,
                                             std::uint64_t frames, float sample) {
  EngineError e{ErrorKind::SampleOutOfRange};
  e.frame = frame;
  e.channel = channel;
  e.frames = frames;
  e.sample = sample;
  return e;
}

Text EngineError::sample_reason() const {
  if (kind == ErrorKind::NonFiniteSample) return Text("is not finite");
  Text text("must be between -4294967296 and 4294967296, got ");
  text += format_f32(sample);
  return text;
}

Text EngineError::message(std::uint64_t flat_index) const {
  Text text;
  switch (kind) {
    case ErrorKind::ZeroSampleRate: text += "sample_rate must be greater than zero"; break;
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
    case ErrorKind::ZeroChannels: text += "channels must be greater than zero"; break;
    case ErrorKind::IndivisibleSamples:
      text += format_u64(samples);
      text += " samples cannot be divided into frames with ";
      text += format_u64(channels);
      text += " channels";
      break;
    case ErrorKind::NonFiniteSample:
    case ErrorKind::SampleOutOfRange:
      text += "input sample at flat index ";
      text += format_u64(flat_index);
      text += ' ';
      text += sample_reason();
      break;
  }
  return text;
}

}  // namespace qx
