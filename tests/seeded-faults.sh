#!/usr/bin/env bash
# Seeded faults: applies each hand-picked fault below to a temporary copy of the tree, one at a
# time, rebuilds and runs the whole suite. Every fault must make the suite fail; a fault that
# survives is a hole in the tests. The tree itself is never touched. A tool for us, not for CI.
# Usage: tests/seeded-faults.sh [SOURCE_DIR]   (default: this tree's committed HEAD)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
if [ $# -gt 0 ]; then cp -a "$1/." "${work}/src"; rm -rf "${work}"/src/build*; else
  mkdir "${work}/src" && git -C "${here}" archive HEAD | tar -x -C "${work}/src"; fi
src=${work}/src
build=${work}/build

# file|perl substitution (applied to the first matching line only)
faults=(
  'clss/clastool/knnparams.cpp|s/if \(k < 1\)/if (k < 0)/'
  'clss/clastool/knnsearch.cpp|s/if \(k < 1\)/if (k < 0)/'
  'clss/clastool/metric.cpp|s/if \(!\(p > 0\.0\)\)/if (!(p >= 0.0))/'
  'clss/clastool/metric.cpp|s/!\(order_ < norm->order_\) && //'
  'clss/clastool/costs.cpp|s/"Costs must be >= 0\.0"/"Costs must be > 0.0"/'
  'clss/clastool/costs.cpp|s/if \(label < 0\) throw/if (label < -1) throw/'
  'clss/clastool/result.cpp|s/a\.expectedCost\(\) < b\.expectedCost\(\)/a.expectedCost() > b.expectedCost()/'
  'clss/clastool/result.cpp|s/if \(!\(expectedCost >= 0\.0\)\) throw/if (false) throw/'
  'clss/clastool/pattern.cpp|s/if \(index >= count\)/if (index > count)/'
  'clss/clastool/pattern.cpp|s/indices must be >= 0"/indices must be >= 1"/'
  'clss/clastool/distributions.cpp|s/for \(std::size_t i = 1; i < unique\.size\(\)/for (std::size_t i = 2; i < unique.size()/'
  'clss/clastool/featurescore.cpp|s/if \(x >= x1_\) return y1_;/if (x > x1_) return y1_;/'
  'clss/clastool/rules.cpp|s/1\.0 \/ static_cast<double>\(used\)/1.0 \/ static_cast<double>(used + 1)/'
  'clss/clastool/rules.cpp|s/if \(s == -1\.0 \|\| std::isnan\(s\)\) continue;/if (std::isnan(s)) continue;/'
  'clss/clastool/tree.cpp|s/if \(!nodeA->predicateFunction_->isEqual\(\*nodeB->predicateFunction_\)\) return false;//'
  'platform/archive.cpp|s/if \(byte > 1\)/if (byte > 2)/'
  'platform/archive.cpp|s/v >> \(8 \* i\)/v >> (8 * (7 - i))/'
  'platform/archive.cpp|s/if \(depth_ >= kMaxInlineDepth\) \{/if (depth_ > kMaxInlineDepth) {/'
  'platform/archive.cpp|s/if \(index >= loaded_\.size\(\)\)/if (index > loaded_.size())/'
  'platform/random.cpp|s/z >> 31/z >> 30/'
  'platform/exception.cpp|s/>> 5\) & 0x7FFUL/>> 5) \& 0x3FFUL/'
  'platform/mvn.cpp|s/if \(!\(p >= floor\[j\]\)\) p = floor\[j\];//'
  'platform/mvn.cpp|s/for \(long k = 0; k < j; \+\+k\) v -= rowI\[k\] \* rowJ\[k\];/for (long k = 1; k < j; ++k) v -= rowI[k] * rowJ[k];/'
  'tools/csv.cpp|s/return n == 0 \|\| cell == "\?" \|\| /return n == 0 || /'
  'tools/csv.cpp|s/table\.labelColumnPosition = label \+ 1;/table.labelColumnPosition = label;/'
  'tools/csv.cpp|s/label = static_cast<long>\(header\.size\(\)\) - 1;/label = static_cast<long>(header.size()) - 2;/'
  'tools/commands.cpp|s/next = \(next \+ 1\) % result\.size\(\);/next = (next + 2) % result.size();/'
  'clss/clastool/treeclassifier.cpp|s/tfThrowExceptionOnFailure\(tfAttentionCheck\(\)\);//'
  'clss/clastool/classifier.cpp|s/if \(isTrained_\(\) != other\.isTrained_\(\)\) return false;//'
  'clss/clastool/tool.cpp|s/catch \(const tqClassifierDefs::Errors&\)/catch (...)/'
  'python/bindings.cpp|s/rows\.validity\[i\] = std::isnan\(v\[i\]\) \? 0 : 1;/rows.validity[i] = 1;/'
  'clss/clastool/predicate.cpp|s/if \(!pattern\.isValid\(measurementIndex1_\)\) return false;//'
  'clss/clastool/csvdata.cpp|s/ \|\| !std::isfinite\(v\)//'
  'clss/clastool/result.cpp|s/if \(status != 0\) tfThrowExceptionOnFailure\(status\);/(void)status;/'
  'clss/clastool/featurescore.cpp|s/if \(typeid\(other\) != typeid\(\*this\)\) return false;//'
  'clss/clastool/costs.cpp|s/if \(overrideLabels_\[i\] == label\) return static_cast<long>\(i\);//'
  'tools/modelfile.cpp|s/"the stored classifier hands out the category "/"the stored classifier uses the category "/'
  'clss/clastool/tool.cpp|s/validity\[at \+ j\] = pattern->isValid\(static_cast<long>\(j\)\) \? 1 : 0;/validity[at + j] = 1;/'
  'clss/clastool/knn.cpp|s/return static_cast<long>\(rows\.dimension\) == data_->numMeasurements\(\);/return true;/'
  'clss/clastool/distributions.cpp|s/overrideLabels_\[i\] == label && //'
  'platform/mvn.cpp|s/if \(normalization == 0\.0 \|\| /if (/'
  'platform/archive.cpp|s/if \(count > left \/ minElementBytes\)/if (count > left)/'
  'clss/clastool/generators.cpp|s/if \(data_\.numMeasurements\(\) != 0 \|\| count_ < 1\) return data_;/if (count_ < 1) return data_;/'
  'clss/clastool/result.cpp|s/if \(!isScore\(matchScore\) \|\| !isScore\(classScore\)\)/if (!isScore(matchScore))/'
  'clss/clastool/costs.cpp|s/if \(std::isinf\(frequency\)\)/if (false)/'
  'clss/clastool/pdf.cpp|s/if \(!\(maxValue > 0\.0\) \|\| !std::isfinite\(maxValue\)\)/if (!(maxValue > 0.0))/'
  'clss/clastool/bayes.cpp|s/if \(!std::isfinite\(values\[j\]\) && /if (std::isnan(values[j]) \&\& /'
  'platform/mvn.cpp|s/if \(rec\.invalid\.size != 0\) continue;//'
  'clss/clastool/knnsearch.cpp|s/if \(d != d\) d = normRoot\(normPowerSum\(query_, rows_->row\(e\.at\), dims_, p_\), p_\);/if (d != d) d = normRoot(e.low, p_);/'
)

cmake -S "${src}" -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLASTOOL_BUILD_BENCH=OFF >/dev/null
nice cmake --build "${build}" -j 2 >/dev/null
ctest --test-dir "${build}" -j 2 >/dev/null || { echo "the suite fails without any fault" >&2; exit 2; }

survived=0
for entry in "${faults[@]}"; do
  file=${entry%%|*} edit=${entry#*|}
  cp "${src}/${file}" "${work}/saved"
  perl -i -pe "if (!\$done && ${edit}) { \$done = 1 }" "${src}/${file}"
  if cmp -s "${src}/${file}" "${work}/saved"; then
    echo "NOT APPLIED  ${file}: ${edit}"; survived=$((survived + 1)); continue
  fi
  if ! nice cmake --build "${build}" -j 2 >/dev/null 2>&1; then
    result="BROKEN BUILD"; survived=$((survived + 1))
  elif ctest --test-dir "${build}" -j 2 --stop-on-failure >/dev/null 2>&1; then
    result="SURVIVED"; survived=$((survived + 1))
  else
    result="caught"
  fi
  printf '%-15s %s: %s\n' "${result}" "${file}" "${edit}"
  cp "${work}/saved" "${src}/${file}"
done
echo "${#faults[@]} faults, ${survived} not caught"
[ "${survived}" -eq 0 ]
