"""GaussianNB on the data bench/bayes wrote: fit on the training rows, one predict_proba of
the query rows, one thread. Prints "fit_ms predict_ms" in process CPU time, the best of the given repeats.
Run by bench/bayes: /usr/bin/python3 bench/bayes_sklearn.py TRAIN.csv QUERY.csv REPEATS"""
import os
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from sklearn.naive_bayes import GaussianNB  # noqa: E402

train = np.loadtxt(sys.argv[1], delimiter=",")
queries = np.loadtxt(sys.argv[2], delimiter=",")
repeats = int(sys.argv[3])
X, y = train[:, 1:], train[:, 0].astype(np.int64)


def best(f):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        f()
        times.append(time.process_time() - start)
    return min(times)


model = GaussianNB()
fit = best(lambda: model.fit(X, y))
predict = best(lambda: model.predict_proba(queries))
print(f"{fit * 1e3:.3f} {predict * 1e3:.3f}")
