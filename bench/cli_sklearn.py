"""The peer of bench/cli.sh: numpy.loadtxt of the same CSV file, then scikit-learn's GaussianNB
fit and predict of every row. Prints "read_s fit_s predict_s" in wall time.
Run by bench/cli.sh: /usr/bin/python3 bench/cli_sklearn.py DATA.csv"""
import sys
import time

import numpy as np
from sklearn.naive_bayes import GaussianNB

start = time.perf_counter()
data = np.loadtxt(sys.argv[1], delimiter=",", skiprows=1)
read = time.perf_counter()
X, y = data[:, :-1], data[:, -1].astype(np.int64)
model = GaussianNB().fit(X, y)
fit = time.perf_counter()
model.predict(X)
predict = time.perf_counter()
print(f"{read - start:.2f} {fit - read:.2f} {predict - fit:.2f}")
