"""predict_proba from Python against the bare batch call underneath it and against
scikit-learn, one thread, same data. Run: PYTHONPATH=build/python /usr/bin/python3 bench/python_batch.py"""
import time

import numpy as np
from sklearn.naive_bayes import GaussianNB
from sklearn.neighbors import KNeighborsClassifier

import clastool


def best(f, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


rng = np.random.default_rng(7)
queries = rng.normal(size=(100_000, 8))
cases = [("Bayes, 100k stored", clastool.BayesClassifier(), GaussianNB(), 100_000),
         ("KNN k=5, 10k stored", clastool.KNNClassifier(k=5),
          KNeighborsClassifier(5, algorithm="brute", n_jobs=1), 10_000)]
print(f"{'case':24} {'predict_proba':>14} {'bare batch':>11} {'ratio':>6} {'sklearn':>9} {'ratio':>6}")
for name, ours, theirs, n in cases:
    X = rng.normal(size=(n, 8)) + np.repeat(np.arange(5), n // 5)[:, None] * 0.5
    y = np.repeat(np.arange(5), n // 5)
    ours.fit(X, y)
    theirs.fit(X, y)
    t_ours = best(lambda: ours.predict_proba(queries))
    t_bare = best(lambda: ours.model_.run(queries, 1))
    t_theirs = best(lambda: theirs.predict_proba(queries))
    print(f"{name:24} {t_ours * 1e3:12.1f}ms {t_bare * 1e3:9.1f}ms {t_ours / t_bare:6.2f} "
          f"{t_theirs * 1e3:7.1f}ms {t_ours / t_theirs:6.2f}")
