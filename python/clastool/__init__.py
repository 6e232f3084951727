"""Statistical pattern classifiers with scikit-learn's conventions.

The estimators train and run the clastool library: ``BayesClassifier`` (normal and binomial
densities over dependency groups, priors, a cost matrix), ``KNNClassifier`` (k nearest
neighbours under a Minkowski norm, a cost matrix), ``DecisionTreeClassifier`` (a tree the caller
builds of ``Node`` and ``Leaf`` objects) and ``RuleTableClassifier`` (the rule-table scorer over
``Rule`` objects). ``NaN`` in ``X`` marks an invalid measurement. Library errors arrive as ``ClastoolError`` (a ``ValueError``) with the library's
message, and running an untrained model raises scikit-learn's ``NotFittedError``.

``load(path)`` and ``save(path)`` read and write the model files of the ``clastool`` program.
"""

import errno
import os

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from ._clastool import BayesOptions, ClastoolError, Model, RuleTable

__all__ = ["BayesClassifier", "KNNClassifier", "DecisionTreeClassifier", "Leaf", "Node", "InRange", "Valid",
           "Greater", "RuleTableClassifier", "Rule", "OneSided", "TwoSided", "ClastoolError", "load"]

_INT_MAX = 2**31 - 1


def _category_numbers(classes):
    """The library's category number of each class: non-negative integer labels are their own
    numbers (as in the program's model files), other labels are numbered by position."""
    if classes.dtype.kind in "iu" and len(classes) and classes.min() >= 0 and classes.max() <= _INT_MAX:
        return [int(c) for c in classes]
    return list(range(len(classes)))


class _Classifier(ClassifierMixin, BaseEstimator):
    """What the techniques share: label mapping, validation, running and pickling."""

    _model_type = Model

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
                    if truth not in index or decided not in index:
                        raise ClastoolError(f"The costs name a label that is not a class: {truth!r} or {decided!r}.")
                    matrix[index[truth]][index[decided]] = float(cost)
            return matrix
        matrix = np.asarray(labelled, dtype=float)
        n = len(self.classes_)
        if matrix.shape != (n, n):
            raise ClastoolError(f"A cost matrix has one row and one column per class ({n} by {n}), "
                                f"not the shape {matrix.shape}.")
        return matrix.tolist()

    def _run(self, X, with_costs=False):
        check_is_fitted(self, "model_")
        X = self._check_X(X, reset=False)
        return self.model_.run(X, int(self.n_jobs or 1), with_costs)

    def _scores(self, X):
        check_is_fitted(self, "model_")
        return self.model_.scores(self._check_X(X, reset=False), int(self.n_jobs or 1))

    def predict(self, X):
        decisions, _, _ = self._run(X)
        return self.classes_[decisions]

    def predict_proba(self, X):
        """Class scores, columns in ``classes_`` order."""
        return self._scores(X)

    def expected_costs(self, X):
        """Expected misclassification cost of deciding each class (NaN: not a candidate)."""
        return self._run(X, with_costs=True)[2]

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
        path = os.fspath(path)
        # The file is replaced by a rename, which does not ask whether the old one may be
        # written: a read-only model file is kept, as open(path, "w") would keep it.
        if os.path.isfile(path) and (not os.stat(path).st_mode & 0o222 or not os.access(path, os.W_OK)):
            raise PermissionError(errno.EACCES, "The model file is read-only; it was not replaced", path)
        self.model_.save(path, label_column, integers, [str(c) for c in classes], [str(c) for c in columns])

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

    def _retrain(self, **changes):
        """Sets the parameters as given and retrains without the data. A refused change leaves
        the estimator as it was; predictions running in other threads finish with the model they
        started with."""
        check_is_fitted(self, "model_")
        kept = self.get_params()
        self.set_params(**changes)
        try:
            self.model_ = self._retrained()
        except BaseException:
            self.set_params(**kept)
            raise
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
            known = set(self.classes_)
            for label in self.priors:
                if label not in known:
                    raise ClastoolError(f"The priors name a label that is not a class: {label!r}.")
            options.priors = [float(self.priors.get(label, 1.0)) for label in self.classes_]
        options.costs = self._matrix(self.costs)
        options.groups = [list(map(int, g)) for g in (self.groups or [])]
        for column in (c for group in options.groups for c in group):
            if not 0 <= column < self.n_features_in_:
                raise ClastoolError(f"A group names measurement {column}, but X has {self.n_features_in_} "
                                    f"(0 to {self.n_features_in_ - 1}).")
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
        return self._retrain(priors=priors, costs=costs)

    def _retrained(self):
        return self.model_.retrained_bayes(self._options())


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

    def retrain(self, k=5, p=2.0, costs=None):
        """A new k, norm and costs without the data: the stored patterns stay."""
        return self._retrain(k=k, p=p, costs=costs)

    def _retrained(self):
        return self.model_.retrained_knn(int(self.k), float(self.p), self._matrix(self.costs))

    def _more_tags(self):
        return {"allow_nan": False}



class _Value:
    """Builder objects compare by value and show their values (clone copies them)."""

    def __eq__(self, other):
        return type(self) is type(other) and vars(self) == vars(other)

    __hash__ = None

    def __repr__(self):
        return f"{type(self).__name__}({', '.join(f'{k}={v!r}' for k, v in vars(self).items())})"


class Leaf(_Value):
    """A leaf of a decision tree: what a pattern that ends here is given.

    scores: dict label -> class score in [0, 1] (normalised to sum 1), or one label (score 1).
    costs: dict label -> expected cost of deciding that label; by default 1 - its normalised
    score (every error costs 1). The label of the lowest expected cost is the decision.
    """

    def __init__(self, scores, costs=None):
        self.scores = scores if isinstance(scores, dict) else {scores: 1.0}
        total = sum(self.scores.values())
        self.costs = costs if costs is not None else {
            label: 1.0 - (score / total if total > 0 else 0.0) for label, score in self.scores.items()}


class Node(_Value):
    """An inner node of a decision tree: the predicate, the subtree taken when it is true and the
    one taken when it is false. Subtrees may be shared between nodes."""

    def __init__(self, predicate, if_true, if_false):
        self.predicate, self.if_true, self.if_false = predicate, if_true, if_false

    # Pickling, copying and comparing go through the flat form, so a tree of any depth can be
    # cloned and pickled without recursion.
    def __reduce__(self):
        return _unflatten, (_flatten(self),)

    def __eq__(self, other):
        return type(other) is Node and _flatten(self) == _flatten(other)


class InRange(_Value):
    """True when every listed measurement lies in [low, high] (an empty list: always true)."""

    def __init__(self, columns, low, high):
        self.columns, self.low, self.high = [int(c) for c in np.atleast_1d(columns)], float(low), float(high)

    def _item(self):
        return "range", self.columns, self.low, self.high


class Valid(_Value):
    """True when every listed measurement is valid (not NaN)."""

    def __init__(self, columns):
        self.columns = [int(c) for c in np.atleast_1d(columns)]

    def _item(self):
        return ("valid", self.columns)


class Greater(_Value):
    """True when measurement `first` is strictly greater than measurement `second`."""

    def __init__(self, first, second):
        self.columns = [int(first), int(second)]

    def _item(self):
        return ("greater", *self.columns)


def _tree_nodes(tree):
    """The nodes of a tree bottom-up, each subtree once, found without recursion."""
    order, seen, below, stack = [], set(), set(), [(tree, False)]
    while stack:
        node, expanded = stack.pop()
        if id(node) in seen:
            continue
        if isinstance(node, Node) and not expanded:
            if id(node) in below:
                raise ClastoolError("A decision tree must not contain itself.")
            below.add(id(node))
            stack += [(node, True), (node.if_false, False), (node.if_true, False)]
        elif isinstance(node, (Node, Leaf)):
            below.discard(id(node))
            seen.add(id(node))
            order.append(node)
        else:
            raise ClastoolError(f"A decision tree is built of Node and Leaf objects, not {type(node).__name__}.")
    return order


def _flatten(tree):
    """A tree as a list, subtrees first, the root last: ("leaf", scores, costs) or
    ("node", predicate, index of the true subtree, index of the false one)."""
    nodes = _tree_nodes(tree)
    index = {id(node): i for i, node in enumerate(nodes)}
    return [("leaf", node.scores, node.costs) if isinstance(node, Leaf)
            else ("node", node.predicate, index[id(node.if_true)], index[id(node.if_false)]) for node in nodes]


def _unflatten(items):
    """The tree of a flat list from _flatten."""
    built = []
    try:
        for item in items:
            built.append(Leaf(item[1], item[2]) if item[0] == "leaf" else
                         Node(item[1], built[item[2]], built[item[3]]))
        return built[-1]
    except (IndexError, TypeError, KeyError) as e:
        raise ClastoolError(f"Not a flattened decision tree: {e}") from None


class DecisionTreeClassifier(_Classifier):
    """Classifies by walking a caller-built tree of ``Node`` (predicates ``InRange``, ``Valid``,
    ``Greater``) and ``Leaf`` objects from the root to a leaf, whose result it hands out.

    It learns nothing: ``fit(X, y=None)`` takes the measurement count (and names) from ``X`` and
    the classes from the leaves and ``y``. A predicate that needs a measurement the pattern lacks
    (NaN) is false.
    """

    _method = "tree"

    def __init__(self, tree=None, n_jobs=None):
        self.tree = tree
        self.n_jobs = n_jobs

    def fit(self, X, y=None):
        if y is None:
            self._check_X(X)
            known = []
        else:
            self._prepare_fit(X, y)
            known = self.classes_.tolist()
        flat = _flatten(self.tree)
        labels = [label for item in flat if item[0] == "leaf" for label in item[1]]
        self.classes_ = np.unique(np.asarray(labels + known))
        column = {label: i for i, label in enumerate(self.classes_.tolist())}
        items = []
        for kind, first, *rest in flat:
            if kind == "leaf":
                scores, costs = first, rest[0]
                if set(costs) != set(scores):
                    raise ClastoolError("A leaf's costs must name the labels it scores.")
                items.append(("leaf", [column[label] for label in scores], [float(v) for v in scores.values()],
                              [float(costs[label]) for label in scores]))
                continue
            if any(c >= self.n_features_in_ for c in first.columns):
                raise ClastoolError(f"A predicate refers to measurement {max(first.columns)}, "
                                    f"but X has {self.n_features_in_}.")
            items.append((*first._item(), *rest))
        model = Model()
        model.fit_tree(items, _category_numbers(self.classes_))
        self.model_ = model
        return self



class OneSided(_Value):
    """A feature score with a hard cut-off on one side: y0 at and beyond x0 (away from the
    cut-off), a straight line from (x0, y0) to (x1, y1), y1 from x1 to the cut-off xc, 0 beyond
    it. The cut-off lies above when x0 <= x1 <= xc, below when xc <= x1 < x0."""

    def __init__(self, x0, x1, xc, y0=1.0, y1=0.0):
        self.x0, self.x1, self.xc, self.y0, self.y1 = map(float, (x0, x1, xc, y0, y1))

    def _item(self):
        return "one", [self.x0, self.x1, self.xc, self.y0, self.y1]


class TwoSided(_Value):
    """Two one-sided scores joined: values below the smallest x of `high` are scored by `low`
    (whose x values must all lie below it), the others by `high`."""

    def __init__(self, low, high):
        self.low, self.high = low, high

    def _item(self):
        low, high = self.low, self.high
        return "two", [low.x0, low.x1, low.xc, high.x0, high.x1, high.xc, low.y0, low.y1, high.y0, high.y1]


class Rule(_Value):
    """A label and one feature score per measurement (None: the measurement takes no part)."""

    def __init__(self, label, scores):
        self.label, self.scores = label, list(scores)


class RuleTableClassifier(ClassifierMixin, BaseEstimator):
    """The library's rule-table scorer: a pattern gets the label of the first rule, in table
    order, whose score (the geometric mean of its feature scores, ignored ones left out) exceeds
    `threshold`, and `unmatched` when no rule's does. Like the decision tree it learns nothing:
    ``fit(X, y=None)`` takes the measurement count from ``X`` and the classes from the rules and
    ``y``."""

    _method = "rules"
    _model_type = RuleTable
    _restore = _Classifier._restore
    __reduce__ = _Classifier.__reduce__
    _check_X = _Classifier._check_X

    def __init__(self, rules=None, threshold=0.5, unmatched=None):
        self.rules = rules
        self.threshold = threshold
        self.unmatched = unmatched

    def fit(self, X, y=None):
        self._check_X(X) if y is None else _Classifier._prepare_fit(self, X, y)
        rules = list(self.rules or [])
        known = [] if y is None else self.classes_.tolist()
        self.classes_ = np.unique(np.asarray([rule.label for rule in rules] + known))
        column = {label: i for i, label in enumerate(self.classes_.tolist())}
        for rule in rules:
            if len(rule.scores) != self.n_features_in_:
                raise ClastoolError(f"A rule has {len(rule.scores)} feature scores, but X has {self.n_features_in_} measurements.")
        table = RuleTable()
        table.fit([(column[rule.label], [("ignore",) if s is None else s._item() for s in rule.scores]) for rule in rules],
                  _category_numbers(self.classes_))
        self.model_ = table
        return self

    def predict(self, X):
        check_is_fitted(self, "model_")
        columns = self.model_.classify(self._check_X(X, reset=False), float(self.threshold))
        return np.where(columns >= 0, self.classes_[columns], self.unmatched)

    def rule_scores(self, X):
        """Every rule's score for every row, columns in table order."""
        check_is_fitted(self, "model_")
        return self.model_.scores(self._check_X(X, reset=False))


_PICKLED = {cls.__name__: cls for cls in (BayesClassifier, KNNClassifier, DecisionTreeClassifier, RuleTableClassifier)}


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
        return estimator._restore(cls._model_type.from_bytes(state["model"]), classes, state["n_features_in"],
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
