"""Statistical pattern classifiers with scikit-learn's conventions.

The estimators train and run the clastool library: ``BayesClassifier`` (normal and binomial
densities over dependency groups, priors, a cost matrix) and ``KNNClassifier`` (k nearest
neighbours under a Minkowski norm, a cost matrix). ``NaN`` in ``X`` marks an invalid
measurement. Library errors arrive as ``ClastoolError`` (a ``ValueError``) with the library's
message, and running an untrained model raises scikit-learn's ``NotFittedError``.
"""

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from ._clastool import BayesOptions, ClastoolError, Model

__all__ = ["BayesClassifier", "KNNClassifier", "ClastoolError"]


class _Classifier(ClassifierMixin, BaseEstimator):
    """What both techniques share: label mapping, validation, running and pickling."""

    def _check_X(self, X, **kwargs):
        """X as C-contiguous float64 rows (no copy when it already is); NaN marks an invalid
        measurement, infinity is refused."""
        return self._validate_data(X, dtype=np.float64, order="C", force_all_finite="allow-nan", **kwargs)

    def _prepare_fit(self, X, y):
        X, y = self._check_X(X, y=y)
        check_classification_targets(y)
        self.classes_, codes = np.unique(y, return_inverse=True)
        return X, codes.astype(np.int_)

    def _matrix(self, labelled):
        """A matrix given by labels (a dict of dicts, or an array in classes_ order) as a list."""
        if labelled is None:
            return []
        if isinstance(labelled, dict):
            index = {label: i for i, label in enumerate(self.classes_)}
            n = len(self.classes_)
            matrix = [[1.0] * n for _ in range(n)]
            for truth, row in labelled.items():
                for decided, cost in row.items():
                    matrix[index[truth]][index[decided]] = float(cost)
            return matrix
        return np.asarray(labelled, dtype=float).tolist()

    def _run(self, X):
        check_is_fitted(self, "model_")
        X = self._check_X(X, reset=False)
        return self.model_.run(X, int(self.n_jobs or 1))

    def predict(self, X):
        decisions, _, _ = self._run(X)
        return self.classes_[decisions]

    def predict_proba(self, X):
        """Class scores, columns in ``classes_`` order."""
        return self._run(X)[1]

    def expected_costs(self, X):
        """Expected misclassification cost of deciding each class (NaN: not a candidate)."""
        return self._run(X)[2]

    def __getstate__(self):
        state = self.__dict__.copy()
        if "model_" in state:
            state["model_"] = state["model_"].to_bytes()
        return state

    def __setstate__(self, state):
        if "model_" in state:
            state["model_"] = Model.from_bytes(state["model_"])
        self.__dict__.update(state)

    def _more_tags(self):
        return {"allow_nan": True}


class BayesClassifier(_Classifier):
    """Bayesian classifier over normal and binomial measurement densities.

    priors: dict label -> relative frequency (others 1.0), or None for equal frequencies.
    costs: dict truth -> {decided: cost} (others 1.0), or a matrix in ``classes_`` order.
    groups: lists of measurement indices modelled jointly (the rest independently).
    distributions: per measurement, "normal" or "binomial"; None: all normal.
    max_values: per measurement, the number of trials of a binomial one.
    """

    def __init__(self, priors=None, costs=None, groups=None, distributions=None, max_values=None, n_jobs=None):
        self.priors = priors
        self.costs = costs
        self.groups = groups
        self.distributions = distributions
        self.max_values = max_values
        self.n_jobs = n_jobs

    def _options(self):
        options = BayesOptions()
        if self.priors is not None:
            options.priors = [float(self.priors.get(label, 1.0)) for label in self.classes_]
        options.costs = self._matrix(self.costs)
        options.groups = [list(map(int, g)) for g in (self.groups or [])]
        options.distributions = list(self.distributions or [])
        options.max_values = [float(v) for v in (self.max_values or [])]
        return options

    def fit(self, X, y):
        X, codes = self._prepare_fit(X, y)
        model = Model()
        model.fit_bayes(X, codes, len(self.classes_), self._options())
        self.model_ = model
        return self

    def retrain(self, priors=None, costs=None):
        """New priors and costs without the data: the densities stay as they were learned."""
        check_is_fitted(self, "model_")
        self.priors, self.costs = priors, costs
        self.model_.retrain_bayes(self._options())
        return self


class KNNClassifier(_Classifier):
    """k-nearest-neighbour classifier under the Minkowski norm of order p.

    costs: as for BayesClassifier. NaN in X is refused (the technique has no notion of a
    missing measurement).
    """

    def __init__(self, k=5, p=2.0, costs=None, n_jobs=None):
        self.k = k
        self.p = p
        self.costs = costs
        self.n_jobs = n_jobs

    def fit(self, X, y):
        X, codes = self._prepare_fit(X, y)
        model = Model()
        model.fit_knn(X, codes, len(self.classes_), int(self.k), float(self.p), self._matrix(self.costs))
        self.model_ = model
        return self

    def _more_tags(self):
        return {"allow_nan": False}
