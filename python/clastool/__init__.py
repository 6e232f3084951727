"""Statistical pattern classifiers with scikit-learn's conventions.

The estimators train and run the clastool library: ``BayesClassifier`` (normal and binomial
densities over dependency groups, priors, a cost matrix) and ``KNNClassifier`` (k nearest
neighbours under a Minkowski norm, a cost matrix). ``NaN`` in ``X`` marks an invalid
measurement. Library errors arrive as ``ClastoolError`` (a ``ValueError``) with the library's
message, and running an untrained model raises scikit-learn's ``NotFittedError``.

``load(path)`` and ``save(path)`` read and write the model files of the ``clastool`` program.
"""

import os

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from ._clastool import BayesOptions, ClastoolError, Model

__all__ = ["BayesClassifier", "KNNClassifier", "ClastoolError", "load"]

_INT_MAX = 2**31 - 1


def _category_numbers(classes):
    """The library's category number of each class: non-negative integer labels are their own
    numbers (as in the program's model files), other labels are numbered by position."""
    if classes.dtype.kind in "iu" and len(classes) and classes.min() >= 0 and classes.max() <= _INT_MAX:
        return [int(c) for c in classes]
    return list(range(len(classes)))


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
        return X, codes.astype(np.int_), _category_numbers(self.classes_)

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

    def save(self, path, label_column="label"):
        """Writes a model file that ``clastool classify`` reads. Labels must be strings or
        non-negative integers; the measurement columns are named by ``feature_names_in_``, or
        x0, x1, ... for a model fitted on an array."""
        check_is_fitted(self, "model_")
        classes = self.classes_.tolist()
        integers = self.classes_.dtype.kind in "iu" and list(self.model_.labels) == classes
        if not integers and not all(isinstance(c, str) for c in classes):
            raise ClastoolError("Only string or non-negative integer labels can be written to a model file.")
        columns = getattr(self, "feature_names_in_", [f"x{i}" for i in range(self.n_features_in_)])
        self.model_.save(os.fspath(path), label_column, integers, [str(c) for c in classes], [str(c) for c in columns])

    def __reduce__(self):
        # Only plain values and the library's archive: a loader that allows nothing but
        # clastool._load_bytes can read the pickle of an estimator with plain parameters.
        state = None
        if hasattr(self, "model_"):
            state = {"model": self.model_.to_bytes(), "classes": self.classes_.tolist(),
                     "dtype": self.classes_.dtype.str, "n_features_in": self.n_features_in_,
                     "feature_names_in": getattr(self, "feature_names_in_", np.empty(0)).tolist() or None}
        return _load_bytes, (type(self).__name__, self.get_params(deep=False), state)

    def _restore(self, model, classes, n_features, feature_names=None):
        """Takes a trained model with its classes and measurement names, checking that they fit."""
        if model.method != self._method:
            raise ClastoolError(f"The model is a {model.method} model, not one of {type(self).__name__}.")
        if classes.ndim != 1 or len(classes) != len(model.labels) or len(np.unique(classes)) != len(classes):
            raise ClastoolError("The classes do not match the model.")
        if not isinstance(n_features, int) or n_features < 0 or (feature_names is not None and len(feature_names) != n_features):
            raise ClastoolError("The measurement count does not match the names.")
        self.model_, self.classes_, self.n_features_in_ = model, classes, n_features
        if feature_names is not None:
            self.feature_names_in_ = np.asarray(feature_names, dtype=object)
        return self

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

    _method = "bayes"

    def fit(self, X, y):
        X, codes, labels = self._prepare_fit(X, y)
        model = Model()
        model.fit_bayes(X, codes, labels, self._options())
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

    _method = "knn"

    def fit(self, X, y):
        X, codes, labels = self._prepare_fit(X, y)
        model = Model()
        model.fit_knn(X, codes, labels, int(self.k), float(self.p), self._matrix(self.costs))
        self.model_ = model
        return self

    def _more_tags(self):
        return {"allow_nan": False}


_PICKLED = {cls.__name__: cls for cls in (BayesClassifier, KNNClassifier)}


def _load_bytes(kind, params, state):
    """Rebuilds a pickled estimator. What it is given is checked here and by the library's
    archive reader, so a damaged or hostile pickle of an estimator ends in ClastoolError."""
    cls = _PICKLED.get(kind) if isinstance(kind, str) else None
    if cls is None or not isinstance(params, dict) or not isinstance(state, (dict, type(None))):
        raise ClastoolError("Not a pickled clastool estimator.")
    try:
        estimator = cls(**params)
        if state is None:
            return estimator
        classes = np.asarray(state["classes"], dtype=np.dtype(state["dtype"]))
        return estimator._restore(Model.from_bytes(state["model"]), classes, state["n_features_in"],
                                  state["feature_names_in"])
    except (KeyError, TypeError, AttributeError) as e:
        raise ClastoolError(f"Not a pickled clastool estimator: {e}") from None


def load(path):
    """A fitted estimator from a model file of the ``clastool`` program (``clastool train``).
    Its parameters show k and p (KNN), priors (Bayes) and costs as the file stores them."""
    model, info = Model.load(os.fspath(path))
    settings = model.settings()
    names = info["names"]
    classes = np.asarray([int(n) for n in names] if info["integer_labels"] else names)
    costs = np.asarray(settings["costs"])
    off_diagonal = ~np.eye(len(classes), dtype=bool)
    costs = None if (costs[off_diagonal] == 1.0).all() else costs.tolist()
    if settings["method"] == "knn":
        estimator = KNNClassifier(k=settings["k"], p=settings["p"], costs=costs)
    else:
        priors = {c: f for c, f in zip(classes.tolist(), settings["priors"]) if f != 1.0} or None
        estimator = BayesClassifier(priors=priors, costs=costs)
    return estimator._restore(model, classes, len(info["columns"]), info["columns"])
