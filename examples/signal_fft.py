"""Numeric arrays: find the dominant frequencies of noisy signals with a vectorised FFT."""

import numpy as np

SAMPLE_RATE = 8_000.0


def synthesise(n_signals=32, duration=1.0, seed=11):
    """Each signal mixes two tones with white noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(SAMPLE_RATE * duration)) / SAMPLE_RATE
    tones = rng.uniform(50.0, 1_500.0, size=(n_signals, 2))
    waves = np.sin(2 * np.pi * tones[:, :1] * t) + 0.5 * np.sin(2 * np.pi * tones[:, 1:] * t)
    return waves + rng.normal(0.0, 0.3, waves.shape), tones


def spectrum(signals):
    """Magnitude spectrum of every row, with a Hann window against leakage."""
    window = np.hanning(signals.shape[1])
    return np.abs(np.fft.rfft(signals * window, axis=1))


def peak_frequencies(magnitudes, n_samples, top=2, guard=5):
    """The `top` strongest peaks of every row, in Hz; bins within `guard` of a found peak are masked."""
    freqs = np.fft.rfftfreq(n_samples, d=1.0 / SAMPLE_RATE)
    masked = magnitudes.copy()
    rows = np.arange(masked.shape[0])
    found = np.empty((masked.shape[0], top))
    for k in range(top):
        idx = np.argmax(masked, axis=1)
        found[:, k] = freqs[idx]
        for offset in range(-guard, guard + 1):
            masked[rows, np.clip(idx + offset, 0, masked.shape[1] - 1)] = 0.0
    return np.sort(found, axis=1)


def main():
    signals, tones = synthesise()
    peaks = peak_frequencies(spectrum(signals), signals.shape[1])
    error = np.abs(np.sort(tones, axis=1) - peaks).max()
    print("signals: %d, worst peak error: %.2f Hz" % (signals.shape[0], error))


if __name__ == "__main__":
    main()
