"""Model training: tune and fit a churn classifier with scikit-learn, then report its metrics."""

import sys

from sklearn.datasets import make_classification
from sklearn.ensemble import RandomForestClassifier
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import classification_report, roc_auc_score
from sklearn.model_selection import GridSearchCV, train_test_split
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler


def load_data(n_samples=4_000, seed=1):
    return make_classification(n_samples=n_samples, n_features=20, n_informative=8,
                               weights=[0.8, 0.2], random_state=seed)


def baseline(x_train, y_train):
    """Scaled logistic regression: the model to beat."""
    model = Pipeline([("scale", StandardScaler()), ("clf", LogisticRegression(max_iter=1_000))])
    return model.fit(x_train, y_train)


def tuned_forest(x_train, y_train):
    """Random forest with a small grid search under cross-validation."""
    grid = {"n_estimators": [100, 200], "max_depth": [None, 8], "min_samples_leaf": [1, 5]}
    search = GridSearchCV(RandomForestClassifier(random_state=0), grid, cv=3,
                          scoring="roc_auc", n_jobs=-1)
    search.fit(x_train, y_train)
    return search.best_estimator_, search.best_params_


def evaluate(model, x_test, y_test):
    proba = model.predict_proba(x_test)[:, 1]
    return roc_auc_score(y_test, proba), classification_report(y_test, model.predict(x_test))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    x, y = load_data(int(argv[0]) if argv else 4_000)
    x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, stratify=y, random_state=0)
    for name, model in (("baseline", baseline(x_train, y_train)),
                        ("forest", tuned_forest(x_train, y_train)[0])):
        auc, report = evaluate(model, x_test, y_test)
        print("%s: ROC AUC %.3f" % (name, auc))
        print(report)


if __name__ == "__main__":
    main()
