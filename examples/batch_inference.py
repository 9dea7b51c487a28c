"""Model inference: score a large feature table in batches with a fitted scikit-learn pipeline."""

import sys

import numpy as np
from sklearn.datasets import make_regression
from sklearn.linear_model import Ridge
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import PolynomialFeatures, StandardScaler


def fitted_model(seed=2):
    """A small regression pipeline, fitted once and reused for every batch."""
    x, y = make_regression(n_samples=2_000, n_features=6, noise=5.0, random_state=seed)
    model = make_pipeline(StandardScaler(), PolynomialFeatures(degree=2), Ridge(alpha=1.0))
    return model.fit(x, y)


def batches(features, batch_size):
    for start in range(0, len(features), batch_size):
        yield features[start:start + batch_size]


def predict_in_batches(model, features, batch_size=10_000):
    """Bounded memory: the polynomial expansion of one batch at a time."""
    return np.concatenate([model.predict(batch) for batch in batches(features, batch_size)])


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    model = fitted_model()
    features = np.random.default_rng(4).normal(size=(int(argv[0]) if argv else 200_000, 6))
    predictions = predict_in_batches(model, features)
    print("predictions: %d, mean %.2f, spread %.2f" % (predictions.size, predictions.mean(), predictions.std()))


if __name__ == "__main__":
    main()
