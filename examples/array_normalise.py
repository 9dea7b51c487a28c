"""Numeric arrays: clean, standardise and smooth a block of sensor readings with NumPy."""

import numpy as np


def load_readings(n_sensors=64, n_samples=20_000, seed=7):
    """Synthetic readings: a slow drift per sensor plus noise and a few spikes."""
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 1.0, n_samples)
    drift = np.outer(rng.uniform(0.5, 2.0, n_sensors), np.sin(2 * np.pi * t))
    noise = rng.normal(0.0, 0.1, size=(n_sensors, n_samples))
    readings = drift + noise
    spikes = rng.integers(0, n_samples, size=n_sensors)
    readings[np.arange(n_sensors), spikes] += 25.0
    return readings


def clip_outliers(readings, k=4.0):
    """Clip every value further than k standard deviations from its sensor's mean."""
    mean = readings.mean(axis=1, keepdims=True)
    std = readings.std(axis=1, keepdims=True)
    return np.clip(readings, mean - k * std, mean + k * std)


def standardise(readings):
    """Zero mean and unit variance per sensor, broadcast over the samples."""
    mean = readings.mean(axis=1, keepdims=True)
    std = readings.std(axis=1, keepdims=True)
    return (readings - mean) / np.maximum(std, 1e-12)


def rolling_mean(readings, window=50):
    """Moving average along the sample axis through a cumulative sum."""
    csum = np.cumsum(readings, axis=1, dtype=np.float64)
    csum[:, window:] = csum[:, window:] - csum[:, :-window]
    return csum[:, window - 1:] / window


def main():
    readings = load_readings()
    smooth = rolling_mean(standardise(clip_outliers(readings)))
    print("sensors: %d, smoothed samples: %d" % smooth.shape)
    print("largest smoothed value: %.3f" % np.abs(smooth).max())


if __name__ == "__main__":
    main()
