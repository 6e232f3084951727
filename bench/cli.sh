#!/bin/bash
# The program at a million rows: generates a CSV of ROWS rows (default 1,000,000) of 8
# measurements and 5 labels, times `clastool train --method bayes` and `clastool classify` on it
# (wall time and peak memory), and beside them numpy.loadtxt + scikit-learn GaussianNB fit and
# predict on the same file; and the size of a k-nearest-neighbour model file of it.
#   bench/cli.sh [BUILD_DIR] [ROWS]      (BUILD_DIR default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
rows=${2:-1000000}
tool=$build/tools/clastool
work=$(mktemp -d /tmp/clastool-cli-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work/data.csv" "$rows" <<'PY'
import sys
import numpy as np
rng = np.random.default_rng(17)
n = int(sys.argv[2])
labels = rng.integers(0, 5, n)
x = rng.normal(size=(n, 8)) + labels[:, None] * np.linspace(0.2, 1.0, 8)
with open(sys.argv[1], "w") as f:
    f.write(",".join(f"m{j}" for j in range(8)) + ",label\n")
    np.savetxt(f, np.column_stack([x, labels]), fmt=["%.6g"] * 8 + ["%d"], delimiter=",")
PY
echo "data: $rows rows x 8 measurements, 5 labels, $(du -m "$work/data.csv" | cut -f1) MB; machine: $(uptime)"

# Runs a command; prints its wall seconds and peak resident megabytes.
measure() {
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -v "$@" >/dev/null 2>"$work/time.txt" || { cat "$work/time.txt"; exit 1; }
        awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i] }
                    /Maximum resident/ { kb = $2 }
                    END { printf "%.2f s wall, %d MB peak\n", s, kb / 1024 }' "$work/time.txt"
    else
        TIMEFORMAT="%R s wall (peak memory not measured)"
        time "$@" >/dev/null
    fi
}

echo -n "clastool train --method bayes:    "; measure "$tool" train --method bayes "$work/data.csv" -o "$work/model"
echo -n "clastool classify:                "; measure "$tool" classify "$work/model" "$work/data.csv" -o "$work/out.csv"
echo -n "clastool train --method knn:      "; measure "$tool" train --method knn "$work/data.csv" -o "$work/knn"
echo "  knn model file: $(stat -c %s "$work/knn") bytes, $(( $(stat -c %s "$work/knn") / rows )) bytes per row for 64 of measurements"
echo -n "numpy.loadtxt + GaussianNB:       "; measure /usr/bin/python3 "$here/cli_sklearn.py" "$work/data.csv"
echo "  (read, fit, predict seconds: $(/usr/bin/python3 "$here/cli_sklearn.py" "$work/data.csv"))"
