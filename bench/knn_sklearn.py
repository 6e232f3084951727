"""KNeighborsClassifier(k, algorithm="kd_tree") on the data bench/compare wrote: fit on the stored
rows, one predict of the query rows, one thread. Prints "fit_ms predict_ms" in process CPU time,
the median of the given repeats, and writes the predicted labels to OUT, one a line.
Run by bench/compare --index:
  /usr/bin/python3 bench/knn_sklearn.py STORED.f64 LABELS.i64 QUERIES.f64 D K REPEATS OUT"""
import os
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from sklearn.neighbors import KNeighborsClassifier  # noqa: E402

d, k, repeats = int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
X = np.fromfile(sys.argv[1], dtype=np.float64).reshape(-1, d)
y = np.fromfile(sys.argv[2], dtype=np.int64)
queries = np.fromfile(sys.argv[3], dtype=np.float64).reshape(-1, d)


def median(f):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        f()
        times.append(time.process_time() - start)
    return sorted(times)[len(times) // 2]


model = KNeighborsClassifier(k, algorithm="kd_tree", n_jobs=1)
fit = median(lambda: model.fit(X, y))
predicted = []
predict = median(lambda: predicted.append(model.predict(queries)))
np.savetxt(sys.argv[7], predicted[-1], fmt="%d")
print(f"{fit * 1e3:.3f} {predict * 1e3:.3f}")
