// Every docstring the module shows. The first line of the class, method and
// function texts is a call signature followed by "--" and an empty line: the
// interpreter turns that into __text_signature__ (so inspect.signature works
// on a C function) and shows only the rest as __doc__.
#pragma once

namespace qx::py {

inline constexpr char kModuleDoc[] =
    "Python bindings for the qx-limiter look-ahead brick-wall audio limiter.";

// Argument descriptions that the class and limit() share word for word.
#define QX_DOC_SETTINGS                                                               \
  "    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.\n"       \
  "    threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;\n" \
  "        ``0.0`` is full scale and approximately ``-6.02`` is half scale.\n"        \
  "    attack_ms: Look-ahead attack time in milliseconds. It must round to at\n"      \
  "        least one sample at ``sample_rate``.\n"                                    \
  "    hold_ms: Hold time in milliseconds. May be zero.\n"                            \
  "    release_ms: Release time in milliseconds. May be zero.\n"

#define QX_DOC_TRUE_PEAK                                                           \
  "    true_peak: If true, use ITU-R BS.1770-5 true-peak detection to calculate\n" \
  "        limiter gain. The processed output true peak is not guaranteed to\n"    \
  "        remain below the ceiling. Supported sample rates are 8, 11.025, 12,\n"  \
  "        16, 22.05, 24, 32, 44.1, 48, 88.2, and 96 kHz, plus every rate at or\n" \
  "        above 176.4 kHz.\n"

inline constexpr char kClassDoc[] =
    "QXLimiter(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0, "
    "true_peak=False)\n"
    "--\n"
    "\n"
    "A configurable look-ahead brick-wall limiter.\n"
    "\n"
    "The limiter applies one linked gain value to all channels in each frame,\n"
    "preserving their relative balance. Processing is offline and every call\n"
    "starts with a neutral gain envelope.\n"
    "\n"
    "Args:\n" QX_DOC_SETTINGS QX_DOC_TRUE_PEAK
    "\n"
    "Raises:\n"
    "    ValueError: If any configuration value is invalid.";

inline constexpr char kProcessDoc[] =
    "process($self, audio, axis=-1)\n"
    "--\n"
    "\n"
    "Process mono or multichannel audio.\n"
    "\n"
    "Args:\n"
    "    audio: A one-dimensional mono array or a two-dimensional\n"
    "        multichannel array. Values are converted to ``numpy.float32``;\n"
    "        the input is not modified. Samples must be finite and within the\n"
    "        inclusive range ``[-2 ** 32, 2 ** 32]``.\n"
    "    axis: Frame axis. The default of ``-1`` expects\n"
    "        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``.\n"
    "        For mono input, ``0`` and ``-1`` are\n"
    "        equivalent.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32``\n"
    "    array with the same shape as the input. ``frame_gains`` is a\n"
    "    one-dimensional ``numpy.float32`` array containing one linked gain\n"
    "    value per frame.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the input is not one- or two-dimensional, the\n"
    "        frame axis is invalid, the channel dimension is empty, or an\n"
    "        input sample is not finite or is outside the supported range.";

inline constexpr char kLimitDoc[] =
    "limit(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0, "
    "axis=-1, true_peak=False)\n"
    "--\n"
    "\n"
    "Limit mono or multichannel audio in one call.\n"
    "\n"
    "Args:\n"
    "    audio: A one-dimensional mono array or a two-dimensional multichannel\n"
    "        array. Values are converted to ``numpy.float32``; the input is not\n"
    "        modified. Samples must be finite and within the inclusive range\n"
    "        ``[-2 ** 32, 2 ** 32]``.\n" QX_DOC_SETTINGS
    "    axis: Frame axis. The default of ``-1`` expects\n"
    "        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``. For\n"
    "        mono input, ``0`` and ``-1`` are\n"
    "        equivalent.\n" QX_DOC_TRUE_PEAK
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32`` array\n"
    "    with the same shape as the input. ``frame_gains`` is a one-dimensional\n"
    "    ``numpy.float32`` array containing one linked gain value per frame.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If a configuration value or input is invalid, or an input\n"
    "        sample is not finite or is outside the supported range.";

#undef QX_DOC_SETTINGS
#undef QX_DOC_TRUE_PEAK

}  // namespace qx::py
