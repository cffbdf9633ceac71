#!/usr/bin/env bash
# Benchmarks of quasibiclique. Prints Markdown tables on standard output.
#
#   bench/run.sh [section...]
#
# Sections (default: all of them, in this order):
#   real      real datasets at tolerance 0, counts checked against the reference
#             counts of the dataset notes
#   tolerance real datasets with tolerances above 0
#   onesided  one tolerance 0, the other 1: same results as both 0, timed
#   limits    settings stopped by a time limit (QB_LIMIT_SECONDS, default 20)
#   exact     the exact search beside the tolerance walk on the settings where
#             both apply (the walk stopped after QB_COMPARE_SECONDS, default
#             300), with the checksums of both output files
#   exactrest the same for the other real-dataset settings where both apply
#   planted   generated datasets (1,000 / 10,000 / 100,000 lines) with planted
#             quasi-bicliques
#   load      loading alone: 100,000 lines x 10 numbers, and retail.dat
#   tree      result store: 1,000,000 inserts, 1,000,000 output lines
#   stops     the heaviest settings bounded by --time-limit=1 and by
#             --max-results=1000: wall seconds to the end of the run (loading
#             and writing included), exit status, lines written; and
#             --count-only, with its peak memory
#   threads   every real-dataset row at --threads=1 and --threads=2 (medians of
#             QB_THREAD_RUNS runs each, default 3, alternating), with the
#             speedup, the output files compared, and a model for 16 and 64
#             cores
#   mpi       quasibiclique-mpi on 1, 2 and 4 ranks beside quasibiclique: wall
#             time, the largest peak memory of a rank, the output compared
#
# Environment:
#   QB_DATASETS  real datasets          (default <repo>/../shared/datasets)
#   QB_BUILD     build directory        (default <repo>/build-bench)
#   QB_WORK      generated data, output (default a fresh directory under /tmp,
#                removed at the end unless QB_WORK is given)
#
# Wall time and peak resident memory come from /usr/bin/time -f "%e %M".
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
datasets="${QB_DATASETS:-$repo/../shared/datasets}"
build="${QB_BUILD:-$repo/build-bench}"
limit="${QB_LIMIT_SECONDS:-20}"
search=""  # option naming the search for mine(); empty: the program chooses
if [[ -n "${QB_WORK:-}" ]]; then
  work="$QB_WORK"
  mkdir -p "$work"
else
  work="$(mktemp -d /tmp/qbbench.XXXXXX)"
  trap 'rm -rf "$work"' EXIT
fi
tx="$datasets/transactions"
bi="$datasets/graphs/bipartite"
un="$datasets/graphs/undirected"
bin="$build/quasibiclique"

# ---------------------------------------------------------------------------
# Build (configure once; the build step is a no-op when nothing changed)
# ---------------------------------------------------------------------------
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_TESTS=OFF \
    -DQB_BUILD_BENCH=ON >&2
fi
cmake --build "$build" -j2 >&2

# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------
# mine FILE ISL IT TT TSL TYPE [TIMEOUT]: runs the miner; sets count, secs, mib
# (count is "-" when the run did not finish, "timeout" when stopped).
mine() {
  local file="$1" isl="$2" it="$3" tt="$4" tsl="$5" type="$6" stop="${7:-0}"
  local out="$work/out.txt" so="$work/stdout.txt" tf="$work/time.txt" rc=0
  rm -f "$out"
  if [[ "$stop" != 0 ]]; then
    timeout "$stop" /usr/bin/time -f "%e %M" -o "$tf" \
      "$bin" ${search:+"$search"} "$file" "$isl" "$it" "$tt" "$tsl" "$type" "$out" >"$so" || rc=$?
  else
    /usr/bin/time -f "%e %M" -o "$tf" \
      "$bin" ${search:+"$search"} "$file" "$isl" "$it" "$tt" "$tsl" "$type" "$out" >"$so" || rc=$?
  fi
  if [[ $rc == 124 ]]; then
    count="timeout"; secs="> $stop"; mib="-"
    return
  fi
  count="$(grep -o 'Total number of quasi-bicliques:[0-9]*' "$so" | cut -d: -f2 || true)"
  [[ -n "$count" && $rc == 0 ]] || { count="- (exit $rc)"; }
  read -r secs kib < <(tail -1 "$tf")
  mib="$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')"
}

# cmdline FILE ISL IT TT TSL TYPE: the command as a user would type it.
cmdline() {
  echo "quasibiclique ${1#"$datasets"/} $2 $3 $4 $5 $6 out.txt"
}

fmt() {  # 12345 -> 12,345
  printf "%s" "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'
}

header_runs() {
  echo "| command | results | reference (dataset notes) | check | wall s | peak RSS MiB |"
  echo "|---|---:|---:|---|---:|---:|"
}

# run FILE ISL IT TT TSL TYPE REF [SINGLE]: one table row. REF "-" means no
# reference count. SINGLE=1: the reference counts single-transaction bicliques
# too; they are counted with single_transaction.py and added before comparing.
run() {
  local ref="$7" single="${8:-0}" check="-"
  mine "$1" "$2" "$3" "$4" "$5" "$6"
  if [[ "$ref" != "-" ]]; then
    if [[ "$count" == "$ref" ]]; then
      check="equal"
    elif [[ "$single" == 1 && "$count" =~ ^[0-9]+$ ]]; then
      local s
      s="$(python3 "$here/single_transaction.py" "$1" "$6")"
      if (( count + s == ref )); then
        check="equal after adding the $s single-transaction bicliques"
      else
        check="**DIFFERS** (plus $s single-transaction: $((count + s)))"
      fi
    else
      check="**DIFFERS**"
    fi
    ref="$(fmt "$ref")"
  fi
  echo "| \`$(cmdline "$@")\` | $(fmt "$count") | $ref | $check | $secs | $mib |"
}

gbench_table() {  # JSON of a Google Benchmark run -> Markdown rows
  python3 - "$1" <<'EOF'
import json, sys
data = json.load(open(sys.argv[1]))
skip = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
        "repetitions", "repetition_index", "threads", "iterations", "real_time",
        "cpu_time", "time_unit", "aggregate_name", "aggregate_unit", "error_occurred",
        "error_message"}
print("| benchmark | wall ms | CPU ms | counters |")
print("|---|---:|---:|---|")
for b in data["benchmarks"]:
    if b.get("error_occurred"):
        print(f"| {b['name']} | error: {b.get('error_message')} | | |")
        continue
    counters = ", ".join(
        f"{k}={v:,.0f}" if float(v).is_integer() else f"{k}={v:,.1f}"
        for k, v in b.items() if k not in skip)
    print(f"| {b['name']} | {b['real_time']:,.0f} | {b['cpu_time']:,.0f} | {counters} |")
EOF
}

# ---------------------------------------------------------------------------
# Sections
# ---------------------------------------------------------------------------
section_real() {
  echo "### Real datasets, tolerance 0"
  echo
  header_runs
  run "$tx/hepatitis.dat" 2 0 0 40 0 104814
  run "$tx/hepatitis.dat" 2 0 0 20 0 974183
  run "$tx/vote.dat" 2 0 0 50 0 26788
  run "$tx/vote.dat" 2 0 0 20 0 89286
  run "$tx/chess.dat" 2 0 0 2000 0 68943
  run "$tx/mushroom.dat" 2 0 0 1000 0 2282
  run "$tx/mushroom.dat" 2 0 0 200 0 19792
  run "$tx/BMS1.compact.dat" 2 0 0 50 0 7461
  run "$tx/BMS1.compact.dat" 2 0 0 20 0 187576
  run "$tx/retail.dat" 2 0 0 50 0 13034
  run "$tx/retail.dat" 2 0 0 10 0 150848
  local g
  declare -A two=([southern_women]=49 [divorce]=91 [cities]=16064 [moreno_crime]=68
                  [ucforum]=15216)
  declare -A one=([southern_women]=63 [divorce]=98 [cities]=16085 [moreno_crime]=620
                  [ucforum]=16261)
  for g in southern_women divorce cities moreno_crime ucforum; do
    run "$bi/$g.dat" 2 0 0 2 0 "${two[$g]}"
    run "$bi/$g.dat" 1 0 0 1 0 "${one[$g]}" 1
  done
  run "$bi/ucforum.dat" 3 0 0 3 0 6127
  declare -A utwo=([karate]=34 [dolphins]=93 [lesmis]=1147 [yeast_ppi]=6126)
  declare -A uone=([karate]=51 [dolphins]=140 [lesmis]=1195 [yeast_ppi]=7392)
  for g in karate dolphins lesmis yeast_ppi; do
    run "$un/$g.adj" 2 0 0 2 1 "${utwo[$g]}"
    run "$un/$g.adj" 1 0 0 1 1 "${uone[$g]}" 1
  done
  echo
}

section_tolerance() {
  echo "### Real datasets, tolerances above 0"
  echo
  header_runs
  local a
  for a in "$bi/southern_women.dat 2 1 1 2 0" "$bi/divorce.dat 4 1 1 4 0" \
           "$bi/moreno_crime.dat 2 1 1 2 0" "$un/karate.adj 4 2 2 4 1" \
           "$un/dolphins.adj 2 1 1 2 1" "$un/dolphins.adj 3 2 1 4 1" \
           "$un/lesmis.adj 3 1 1 3 1" "$tx/hepatitis.dat 3 1 1 100 0" \
           "$tx/vote.dat 3 1 1 200 0" "$tx/vote.dat 3 1 1 180 0" \
           "$tx/chess.dat 3 1 1 3150 0" "$tx/chess.dat 3 1 1 3120 0" \
           "$tx/mushroom.dat 3 1 1 7500 0"; do
    run $a -
  done
  echo
}

# With one tolerance 0 every item of a result lies on every transaction of it
# (or every transaction holds every item), so the results are the maximal
# bicliques: the output must equal that of the run with both tolerances 0
# (compared as sorted files).
section_onesided() {
  echo "### One tolerance 0: the same results as both 0"
  echo
  echo "| command | results | command with both tolerances 0 | results | check | wall s (one-sided / both 0) | peak RSS MiB (one-sided / both 0) |"
  echo "|---|---:|---|---:|---|---:|---:|"
  local a
  for a in "$tx/retail.dat 2 0 1 200" "$tx/mushroom.dat 3 0 1 1000" \
           "$tx/chess.dat 3 0 1 2700" "$bi/ucforum.dat 3 0 1 3" \
           "$tx/BMS1.compact.dat 2 1 0 1000" "$tx/chess.dat 3 1 0 3150"; do
    set -- $a
    mine "$1" "$2" "$3" "$4" "$5" 0
    local c1="$count" s1="$secs" m1="$mib"
    sort "$work/out.txt" >"$work/onesided.sorted"
    mine "$1" "$2" 0 0 "$5" 0
    sort "$work/out.txt" >"$work/both0.sorted"
    local check="same output lines"
    cmp -s "$work/onesided.sorted" "$work/both0.sorted" || check="**OUTPUT DIFFERS**"
    [[ "$c1" == "$count" ]] || check="**COUNT DIFFERS**"
    echo "| \`$(cmdline "$1" "$2" "$3" "$4" "$5" 0)\` | $(fmt "$c1") |" \
         "\`$(cmdline "$1" "$2" 0 0 "$5" 0)\` | $(fmt "$count") | $check |" \
         "$s1 / $secs | $m1 / $mib |"
  done
  echo
}

section_limits() {
  echo "### Settings that do not finish within $limit s"
  echo
  echo "| command | stopped after | comparable setting | its results | its wall s |"
  echo "|---|---:|---|---:|---:|"
  local a
  for a in "$tx/retail.dat 2 1 0 5000" "$tx/retail.dat 2 1 1 15000"; do
    set -- $a
    mine "$1" "$2" "$3" "$4" "$5" 0 "$limit"
    local c1="$count" s1="$secs"
    [[ "$c1" == timeout ]] || s1="finished: $c1 results in $s1 s"
    mine "$1" "$2" 0 0 "$5" 0
    echo "| \`$(cmdline "$1" "$2" "$3" "$4" "$5" 0)\` | $s1 |" \
         "\`$(cmdline "$1" "$2" 0 0 "$5" 0)\` | $(fmt "$count") | $secs |"
  done
  echo
}

# Both searches on the settings where the output is the set of maximal
# quasi-bicliques: the tolerance walk (stopped after QB_COMPARE_SECONDS,
# default 300) and the exact search, with the checksums of their output files.
compare_searches() {
  local stop="${QB_COMPARE_SECONDS:-300}" walk="-" same="-"
  search=--search=tolerance
  mine "$@" "$stop"
  local c1="$count" s1="$secs" m1="$mib"
  [[ "$c1" == timeout ]] || walk="$(md5sum <"$work/out.txt" | cut -c1-12)"
  search=--search=exact
  mine "$@"
  search=
  local exact
  exact="$(md5sum <"$work/out.txt" | cut -c1-12)"
  if [[ "$c1" != timeout ]]; then
    same="**DIFFERS**"
    [[ "$walk" == "$exact" && "$c1" == "$count" ]] && same="same file ($exact)"
  fi
  echo "| \`$(cmdline "$@")\` | $(fmt "$count") | $s1 / $m1 | $secs / $mib | $same |"
}

section_exact() {
  echo "### The exact search and the tolerance walk on the same settings"
  echo
  echo "| command | results | tolerance walk: wall s / peak MiB | exact search: wall s / peak MiB | output files |"
  echo "|---|---:|---:|---:|---|"
  local a
  for a in "$bi/divorce.dat 3 1 1 3 0" "$bi/divorce.dat 2 1 1 2 0" \
           "$bi/divorce.dat 4 2 2 4 0" "$bi/divorce.dat 3 2 2 3 0" \
           "$bi/divorce.dat 5 3 3 5 0" "$bi/moreno_crime.dat 2 1 1 2 0" \
           "$bi/cities.dat 3 1 1 3 0" "$bi/cities.dat 2 1 1 2 0" \
           "$bi/ucforum.dat 3 1 1 3 0" "$tx/retail.dat 2 1 0 5000 0" \
           "$tx/chess.dat 3 1 1 3120 0" "$un/lesmis.adj 3 1 1 3 1" \
           "$un/dolphins.adj 3 2 1 4 1" "$tx/chess.dat 2 0 0 2000 0" \
           "$tx/hepatitis.dat 2 0 0 20 0" "$tx/retail.dat 2 0 0 10 0" \
           "$bi/southern_women.dat 2 1 1 2 0" "$bi/divorce.dat 4 1 1 4 0" \
           "$un/karate.adj 4 2 2 4 1" "$un/dolphins.adj 2 1 1 2 1" \
           "$tx/hepatitis.dat 3 1 1 100 0" "$tx/vote.dat 3 1 1 200 0" \
           "$tx/vote.dat 3 1 1 180 0" "$tx/chess.dat 3 1 1 3150 0" \
           "$tx/mushroom.dat 3 1 1 7500 0" "$tx/mushroom.dat 2 0 0 200 0" \
           "$tx/BMS1.compact.dat 2 0 0 20 0" "$tx/vote.dat 2 0 0 20 0" \
           "$un/ca-GrQc.adj 2 0 0 2 1"; do
    compare_searches $a
  done
  echo
}

# The same for every other real-dataset setting of these tables that lies
# where both searches apply.
section_exactrest() {
  echo "### The exact search and the tolerance walk: the other real-dataset settings"
  echo
  echo "| command | results | tolerance walk: wall s / peak MiB | exact search: wall s / peak MiB | output files |"
  echo "|---|---:|---:|---:|---|"
  local a g
  for a in "$tx/hepatitis.dat 2 0 0 40 0" "$tx/vote.dat 2 0 0 50 0" \
           "$tx/mushroom.dat 2 0 0 1000 0" "$tx/BMS1.compact.dat 2 0 0 50 0" \
           "$tx/retail.dat 2 0 0 50 0" "$bi/ucforum.dat 3 0 0 3 0" \
           "$tx/retail.dat 2 0 1 200 0" "$tx/mushroom.dat 3 0 1 1000 0" \
           "$tx/chess.dat 3 0 1 2700 0" "$bi/ucforum.dat 3 0 1 3 0" \
           "$tx/BMS1.compact.dat 2 1 0 1000 0" "$tx/chess.dat 3 1 0 3150 0" \
           "$tx/retail.dat 2 0 0 200 0"; do
    compare_searches $a
  done
  for g in southern_women divorce cities moreno_crime ucforum; do
    compare_searches "$bi/$g.dat" 2 0 0 2 0
    compare_searches "$bi/$g.dat" 1 0 0 1 0
  done
  for g in karate dolphins lesmis yeast_ppi; do
    compare_searches "$un/$g.adj" 2 0 0 2 1
    compare_searches "$un/$g.adj" 1 0 0 1 1
  done
  echo
}

section_planted() {
  echo "### Generated datasets with planted quasi-bicliques"
  echo
  echo "Generated by \`bench/gen_planted.py --lines L --items L/5 --per-line 5 --blocks B"
  echo "--block-tids P --block-items Q --seed 1\`: every line holds 5 random items out of"
  echo "L/5 (about 25 lines per item); B blocks of P lines x Q items are planted, each"
  echo "planted line lacking at most one planted item and each planted item missing from"
  echo "at most one planted line. \"planted found\" = results equal to a planted block"
  echo "(\`bench/check_planted.py\`)."
  echo
  echo "| lines | B x (P x Q) | command | results | planted found | wall s | peak RSS MiB |"
  echo "|---:|---|---|---:|---:|---:|---:|"
  local cfg
  for cfg in "1000 5 20 8 4 1 1 10" "1000 5 20 8 3 1 1 10" \
             "10000 10 60 12 6 1 1 30" "10000 10 60 12 3 1 1 30" \
             "100000 20 200 20 10 1 1 100"; do
    set -- $cfg
    local data="$work/planted$1.dat" truth="$work/planted$1.truth"
    python3 "$here/gen_planted.py" --lines "$1" --items $(($1 / 5)) --per-line 5 \
      --blocks "$2" --block-tids "$3" --block-items "$4" --seed 1 --truth "$truth" "$data"
    mine "$data" "$5" "$6" "$7" "$8" 0
    local found
    found="$(python3 "$here/check_planted.py" "$truth" "$work/out.txt" | cut -d' ' -f1)"
    echo "| $(fmt "$1") | $2 x ($3 x $4) | \`quasibiclique planted$1.dat $5 $6 $7 $8 0 out.txt\` |" \
         "$(fmt "$count") | $found of $2 | $secs | $mib |"
  done
  echo
}

section_load() {
  local data="$work/load.dat"
  python3 "$here/gen_planted.py" --lines 100000 --items 10000 --per-line 10 --seed 1 "$data"
  echo "### Loading"
  echo
  echo "\`load.dat\`: \`bench/gen_planted.py --lines 100000 --items 10000 --per-line 10 --seed 1\`"
  echo "= 100,000 lines, 1,000,000 numbers, items 0..9,999 (no blocks)."
  echo
  echo "Whole program, with parameters that leave nothing (or nothing costly) to mine:"
  echo
  echo "| command | what it does | results | wall s | peak RSS MiB |"
  echo "|---|---|---:|---:|---:|"
  mine "$data" 11 0 0 2 0
  echo "| \`quasibiclique load.dat 11 0 0 2 0 out.txt\` | reads and counts everything; every line has at most 10 items, so every line is pruned | $count | $secs | $mib |"
  mine "$data" 10 0 0 2 0
  echo "| \`quasibiclique load.dat 10 0 0 2 0 out.txt\` | keeps the lines with 10 distinct items and all items; the search finds no two lines sharing 10 items | $count | $secs | $mib |"
  mine "$tx/retail.dat" 2 0 0 100000 0
  echo "| \`$(cmdline "$tx/retail.dat" 2 0 0 100000 0)\` | reads and counts retail.dat; no item has support 100,000, so everything is pruned | $count | $secs | $mib |"
  echo
  echo "In process (\`bench_load\`, Google Benchmark): FindVertexNum + FillTran +"
  echo "InitialiseItemlist + PrepareItemlist + FreeMem per iteration, parameters"
  echo "2 0 0 2 (prunes only lines with < 2 items and items on < 2 lines)."
  echo "peak_RSS_MiB is the process's peak (getrusage) after all iterations;"
  echo "\"process wall s / peak RSS\" is /usr/bin/time around the whole benchmark process."
  echo
  local f
  for f in "$data" "$tx/retail.dat"; do
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$build/bench/bench_load" \
      --benchmark_out="$work/load.json" --benchmark_out_format=json \
      "$f" 2 0 0 2 0 >/dev/null 2>>"$work/bench.err"
    gbench_table "$work/load.json" | { if [[ "$f" == "$data" ]]; then cat; else tail -n +3; fi; }
    read -r secs kib < <(tail -1 "$work/time.txt")
    echo "| (process: \`bench_load ${f##*/} 2 0 0 2 0\`) | wall $secs s | | peak RSS $(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }') MiB |"
  done
  echo
}

section_tree() {
  echo "### Result store"
  echo
  echo "\`bench_tree\` (Google Benchmark), one iteration per size. Insert: AddSet of N"
  echo "random results (itemsets of 2..6 of 1,000 items, tidsets of 2..30 of 100,000"
  echo "tids, ascending) into an empty Tree; stored = results kept. Output:"
  echo "FinalOutput of a Tree holding N results with distinct itemsets into a file;"
  echo "lines = lines written. peak_RSS_MiB is the process's peak so far."
  echo
  QB_BENCH_OUT="$work/tree_out.txt" "$build/bench/bench_tree" \
    --benchmark_out="$work/tree.json" --benchmark_out_format=json >/dev/null \
    2>>"$work/bench.err"
  gbench_table "$work/tree.json"
  echo
}

# timed THREADS FILE ARGS...: one run with --threads; appends "wall KiB md5"
# to $work/t<THREADS>.txt.
timed() {
  local threads="$1" file="$2"
  shift 2
  local out="$work/out.txt" tf="$work/time.txt"
  rm -f "$out"
  /usr/bin/time -f "%e %M" -o "$tf" \
    "$bin" --threads="$threads" ${search:+"$search"} "$file" "$@" "$out" >/dev/null
  read -r secs kib < <(tail -1 "$tf")
  echo "$secs $kib $(md5sum <"$out" | cut -c1-32)" >>"$work/t$threads.txt"
}

# median of the first column of a file
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# threadrow FILE ISL IT TT TSL TYPE: one row of the threads table.
threadrow() {
  local runs="${QB_THREAD_RUNS:-3}" k
  rm -f "$work/t1.txt" "$work/t2.txt"
  for ((k = 0; k < runs; k++)); do
    timed 1 "$@"
    timed 2 "$@"
  done
  local t1 t2 m1 m2 same
  t1="$(median "$work/t1.txt")"
  t2="$(median "$work/t2.txt")"
  m1="$(awk '$2 > m { m = $2 } END { printf "%.1f", m / 1024 }' "$work/t1.txt")"
  m2="$(awk '$2 > m { m = $2 } END { printf "%.1f", m / 1024 }' "$work/t2.txt")"
  same="$(cut -d' ' -f3 "$work/t1.txt" "$work/t2.txt" | sort -u | wc -l)"
  [[ "$same" == 1 ]] && same="identical" || same="**DIFFER**"
  # Amdahl's law fitted to the two medians: t1 = s + p, t2 = s + p / 2.
  awk -v t1="$t1" -v t2="$t2" -v m1="$m1" -v m2="$m2" -v same="$same" \
      -v cmd="$(cmdline "$@" | sed "s/^quasibiclique /quasibiclique ${search:+$search }/")" 'BEGIN {
    p = 2 * (t1 - t2); if (p < 0) p = 0; if (p > t1) p = t1; s = t1 - p
    sp = (t2 > 0) ? t1 / t2 : 0
    m16 = (s + p / 16 > 0) ? t1 / (s + p / 16) : 0
    m64 = (s + p / 64 > 0) ? t1 / (s + p / 64) : 0
    printf "| `%s` | %.2f | %.2f | %.2f | %s | %s | %s | %.0f %% | %.1f | %.1f |\n",
      cmd, t1, t2, sp, m1, m2, same, (t1 > 0 ? 100 * s / t1 : 0), m16, m64 }'
}

section_threads() {
  echo "### Threads: 1 and 2 threads, and a model for 16 and 64 cores"
  echo
  echo "Wall seconds are medians of ${QB_THREAD_RUNS:-3} runs at each thread count, run"
  echo "alternately; peak RSS is the largest of them. \"serial\" and the 16/64 columns"
  echo "are a model, not a measurement: Amdahl's law fitted to the two medians"
  echo "(t1 = s + p, t2 = s + p / 2), speedup t1 / (s + p / N)."
  echo
  echo "| command | 1 thread s | 2 threads s | speedup | 1 thread MiB | 2 threads MiB | output | serial | model 16 | model 64 |"
  echo "|---|---:|---:|---:|---:|---:|---|---:|---:|---:|"
  local a
  for a in "$bi/ucforum.dat 3 1 1 3 0" "$bi/moreno_crime.dat 2 1 1 2 0" \
           "$bi/divorce.dat 5 3 3 5 0" "$bi/cities.dat 3 1 1 3 0" \
           "$tx/hepatitis.dat 2 0 0 20 0" "$tx/chess.dat 2 0 0 1500 0" \
           "$tx/hepatitis.dat 2 0 0 40 0" "$tx/vote.dat 2 0 0 20 0" \
           "$tx/chess.dat 2 0 0 2000 0" "$tx/mushroom.dat 2 0 0 200 0" \
           "$tx/BMS1.compact.dat 2 0 0 20 0" "$tx/retail.dat 2 0 0 10 0" \
           "$bi/cities.dat 2 0 0 2 0" "$bi/ucforum.dat 2 0 0 2 0" "$bi/ucforum.dat 3 0 0 3 0" \
           "$un/lesmis.adj 2 0 0 2 1" "$un/yeast_ppi.adj 2 0 0 2 1" \
           "$bi/divorce.dat 4 1 1 4 0" "$un/karate.adj 4 2 2 4 1" \
           "$un/dolphins.adj 3 2 1 4 1" "$un/lesmis.adj 3 1 1 3 1" \
           "$tx/hepatitis.dat 3 1 1 100 0" "$tx/vote.dat 3 1 1 180 0" \
           "$tx/chess.dat 3 1 1 3120 0" "$tx/mushroom.dat 3 1 1 7500 0"; do
    threadrow $a
  done
  search="--search=tolerance"
  threadrow "$tx/vote.dat" 3 1 1 180 0
  threadrow "$tx/hepatitis.dat" 3 1 1 100 0
  search=""
  echo
}

# mpirow FILE ARGS...: one row of the ranks table: quasibiclique on one
# thread, then quasibiclique-mpi on 1, 2 and 4 ranks of one thread each
# (oversubscribed beyond the cores); wall seconds from the launch of mpirun,
# the largest peak RSS of a rank, and the output compared with the single
# run's.
mpirow() {
  local file="$1"
  shift
  local out="$work/out.txt" tf="$work/time.txt" want cells="" ranks secs kib peak
  rm -f "$out"
  /usr/bin/time -f "%e %M" -o "$tf" \
    "$bin" --threads=1 ${search:+"$search"} "$file" "$@" "$out" >/dev/null
  read -r secs kib < <(tail -1 "$tf")
  want="$(md5sum <"$out" | cut -c1-32)"
  cells="$secs / $(awk -v k="$kib" 'BEGIN { printf "%.0f", k / 1024 }')"
  local same="identical"
  for ranks in 1 2 4; do
    rm -f "$out" "$work/ranks.txt"
    local start end
    start="$(date +%s.%N)"
    mpirun --allow-run-as-root --oversubscribe -q -np "$ranks" \
      /usr/bin/time -f "%M" -a -o "$work/ranks.txt" \
      "$build/quasibiclique-mpi" --threads=1 ${search:+"$search"} "$file" "$@" "$out" >/dev/null
    end="$(date +%s.%N)"
    peak="$(sort -n "$work/ranks.txt" | tail -1)"
    cells="$cells | $(awk -v a="$start" -v b="$end" -v k="$peak" 'BEGIN { printf "%.2f / %.0f", b - a, k / 1024 }')"
    [[ "$(md5sum <"$out" | cut -c1-32)" == "$want" ]] || same="**DIFFER**"
  done
  echo "| \`$(cmdline "$file" "$@" | sed "s/^quasibiclique /quasibiclique ${search:+$search }/")\` | $cells | $same |"
}

section_mpi() {
  echo "### Ranks: quasibiclique-mpi on 1, 2 and 4 ranks"
  echo
  echo "Each cell: wall seconds / the largest peak RSS of a rank in MiB; one run each,"
  echo "one thread per rank."
  echo
  echo "| command | quasibiclique | R = 1 | R = 2 | R = 4 | output |"
  echo "|---|---:|---:|---:|---:|---|"
  local a
  for a in "$bi/divorce.dat 4 2 2 4 0" "$bi/divorce.dat 5 3 3 5 0" "$un/lesmis.adj 3 2 2 3 1" \
           "$tx/hepatitis.dat 2 0 0 20 0"; do
    mpirow $a
  done
  search="--search=tolerance"
  mpirow "$tx/hepatitis.dat" 2 0 0 20 0
  mpirow "$tx/vote.dat" 3 1 1 180 0
  search=""
  echo
}

# stoprow LEADING FILE ARGS...: one row of the stops table.
stoprow() {
  local leading="$1" file="$2"
  shift 2
  local out="$work/out.txt" tf="$work/time.txt" rc=0 lines
  rm -f "$out"
  /usr/bin/time -f "%e %M" -o "$tf" \
    "$bin" $leading ${search:+"$search"} "$file" "$@" "$out" >/dev/null 2>&1 || rc=$?
  read -r secs kib < <(tail -1 "$tf")
  lines="$( [[ -f "$out" ]] && wc -l <"$out" || echo "-")"
  echo "| \`$(cmdline "$file" "$@" | sed "s/^quasibiclique /quasibiclique $leading ${search:+$search }/")\` | $secs | $rc | $(fmt "$lines") | $(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }') |"
}

section_stops() {
  echo "### Bounded runs: how soon a limit ends the run"
  echo
  echo "Wall seconds from start to exit (loading and writing the results found"
  echo "included); status 6 is a run stopped at its limit."
  echo
  echo "| command | wall s | status | lines written | peak RSS MiB |"
  echo "|---|---:|---:|---:|---:|"
  local a leading
  for a in "$bi/ucforum.dat 3 1 1 3 0" "$bi/ucforum.dat 2 1 1 2 0" \
           "$bi/cfat.dat 4 2 2 4 0" "$bi/divorce.dat 5 3 3 5 0" \
           "$bi/cities.dat 2 1 1 2 0" "$tx/chess.dat 2 0 0 1500 0" \
           "$tx/hepatitis.dat 3 1 1 30 0" "$tx/retail.dat 2 1 1 15000 0" \
           "$bi/writer.dat 2 1 1 2 0"; do
    for leading in "--time-limit=1" "--max-results=1000"; do
      stoprow "$leading" $a
    done
  done
  search="--search=tolerance"
  for a in "$bi/divorce.dat 2 1 1 2 0" "$tx/BMS1.compact.dat 2 0 0 20 0" \
           "$tx/vote.dat 3 1 1 180 0" "$bi/ucforum.dat 3 1 1 3 0"; do
    for leading in "--time-limit=1" "--max-results=1000"; do
      stoprow "$leading" $a
    done
  done
  search=""
  stoprow "--count-only" "$bi/ucforum.dat" 3 1 1 3 0
  stoprow "--count-only --time-limit=5" "$bi/writer.dat" 2 1 1 2 0
  echo
}

# ---------------------------------------------------------------------------
sections=("$@")
[[ ${#sections[@]} -gt 0 ]] || sections=(real tolerance onesided limits exact exactrest planted load tree threads stops mpi)
echo "_$(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'), load average at start: $(cut -d' ' -f1-3 /proc/loadavg)_"
echo
for s in "${sections[@]}"; do
  "section_$s"
done
echo "_load average at end: $(cut -d' ' -f1-3 /proc/loadavg)_"
