// The docstrings of qx_limiter_tools' native classes. As in qx_limiter, the
// first line of a class or method text is its call signature, followed by
// "--" and an empty line, which the interpreter turns into
// __text_signature__.
#pragma once

namespace qx::py {

inline constexpr char kToolsModuleDoc[] =
    "Native part of qx_limiter_tools: the streaming limiter and the meter.";

inline constexpr char kStreamDoc[] =
    "StreamLimiter(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0, "
    "true_peak=False, *, detection=None)\n"
    "--\n"
    "\n"
    "The limiter of ``qx_limiter.limit`` over audio that arrives in chunks.\n"
    "\n"
    "Feed the signal chunk by chunk to ``process`` and end it with ``flush``:\n"
    "the audio and gains they return, put together, are bit for bit what one\n"
    "``qx_limiter.limit`` call over the whole signal returns, however the\n"
    "signal is cut. Memory stays bounded by the chunk, the look-ahead, the\n"
    "hold and the detector's reach, whatever the stream's length.\n"
    "\n"
    "Args:\n"
    "    sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms, true_peak:\n"
    "        As for ``qx_limiter.QXLimiter``, with the same checks and errors.\n"
    "    detection: How frame levels are measured: ``'sample'`` (sample peaks,\n"
    "        ``true_peak=False``), ``'bs1770'`` (``true_peak=True``) or\n"
    "        ``'waveform'``: the peaks of the band-limited waveform as\n"
    "        ``qx_limiter_tools.measure`` reads them, so that one pass lands at\n"
    "        or under the threshold as the meter reads it (within 0.05 dB).\n"
    "        It reads 8352 frames ahead, which the latency includes; it is\n"
    "        not ``qx_limiter.limit``'s, so the bit-for-bit equality with it\n"
    "        holds for the other two. None: as ``true_peak`` says.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If any configuration value is invalid, or ``true_peak``\n"
    "        and ``detection`` are both given and disagree.";

inline constexpr char kStreamProcessDoc[] =
    "process($self, chunk, *, axis=-1)\n"
    "--\n"
    "\n"
    "Limit the next chunk of the stream.\n"
    "\n"
    "Args:\n"
    "    chunk: Any number of frames (none included), as ``qx_limiter.limit``\n"
    "        takes audio: one-dimensional mono or two-dimensional multichannel,\n"
    "        converted to ``numpy.float32``. Every chunk has the stream's\n"
    "        channel count, which the first one sets.\n"
    "    axis: Frame axis, as for ``qx_limiter.limit``.\n"
    "\n"
    "The chunk is read in place, with the interpreter lock released: do not\n"
    "change it from another thread while the call runs.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)`` of the frames that are now final, the\n"
    "    next ones of the stream (possibly none; ``latency`` frames are held\n"
    "    back), laid out like ``chunk``, and their gains.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the chunk is not one- or two-dimensional, the axis is\n"
    "        invalid, its channel count is not the stream's, or a sample is not\n"
    "        finite or is outside ``[-2 ** 32, 2 ** 32]`` (the message names its\n"
    "        frame, counted from the start of the stream, and channel); after\n"
    "        a bad sample the stream takes no more audio.\n"
    "    RuntimeError: If the stream has ended, or another thread is using it.";

inline constexpr char kStreamFlushDoc[] =
    "flush($self)\n"
    "--\n"
    "\n"
    "End the stream: the frames still held, as if silence followed them.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)`` laid out like the last chunk.\n"
    "\n"
    "Raises:\n"
    "    RuntimeError: If the stream has ended, or another thread is using it.";

inline constexpr char kLatencyDoc[] =
    "int: Frames held back: the look-ahead plus how far the detector reads\n"
    "ahead (8352 frames with the waveform detection).";

inline constexpr char kDetectionDoc[] =
    "str: How frame levels are measured: 'sample', 'bs1770' or 'waveform'.";

inline constexpr char kMeasureDoc[] =
    "measure(audio, sample_rate, *, axis=-1, dual_mono=False)\n"
    "--\n"
    "\n"
    "The figures of ``qx_limiter_tools.measure`` as a tuple of floats:\n"
    "integrated loudness (LUFS), loudness range (LU), true peak (dBTP), sample\n"
    "peak (dBFS), maximum momentary and short-term loudness (LUFS). The\n"
    "interpreter lock is released while it works.";

inline constexpr char kIntegratedLoudnessDoc[] =
    "integrated_loudness(audio, sample_rate, *, axis=-1, dual_mono=False)\n"
    "--\n"
    "\n"
    "The integrated loudness alone (LUFS), as ``measure`` gives it.";

inline constexpr char kMeterDoc[] =
    "Meter(sample_rate, channels, *, profile_frames=0, dual_mono=False)\n"
    "--\n"
    "\n"
    "The native meter behind ``qx_limiter_tools.Meter``: audio in chunks, the\n"
    "figures as a tuple of floats. One call at a time per instance.";

inline constexpr char kMeterAddDoc[] =
    "add($self, chunk, *, axis=-1)\n"
    "--\n"
    "\n"
    "Measure the next chunk; a chunk that is refused changes nothing.";

inline constexpr char kMeterResultDoc[] =
    "result($self)\n"
    "--\n"
    "\n"
    "The figures of everything added so far, as a tuple of floats.";

inline constexpr char kDetectsTruePeakDoc[] =
    "detects_true_peak($module, sample_rate, /)\n"
    "--\n"
    "\n"
    "Whether ``qx_limiter.limit(..., true_peak=True)`` takes this rate (and\n"
    "detects true peaks at it): its list of rates, and every rate from 176400 Hz.";

inline constexpr char kSmallestAttackDoc[] =
    "smallest_attack_ms($module, sample_rate, /)\n"
    "--\n"
    "\n"
    "The smallest attack_ms whose look-ahead spans a frame at this rate.";

inline constexpr char kMeterPowersDoc[] =
    "powers($self)\n"
    "--\n"
    "\n"
    "The completed 100 ms sub-blocks' powers (channel-weighted sums of K-weighted\n"
    "squares), as a float64 array: what the gated figures are made of.";

inline constexpr char kPooledLoudnessDoc[] =
    "pooled_loudness($module, powers, sample_rate)\n"
    "--\n"
    "\n"
    "Integrated loudness and loudness range of several programmes gated as one\n"
    "(an album): each a sequence of sub-block powers from Meter.powers(), its\n"
    "blocks and windows pooled with the others', none across two.";

inline constexpr char kMeterProfileDoc[] =
    "profile($self)\n"
    "--\n"
    "\n"
    "The loudness profile of the completed 100 ms sub-blocks (a meter made with\n"
    "profile_frames > 0): each sub-block cut into groups of profile_frames frames,\n"
    "the last one shorter where they do not divide it, and for each group its\n"
    "largest sample magnitude and its channel-weighted sum of K-weighted squares,\n"
    "as two float32 arrays.";

}  // namespace qx::py
