#!/usr/bin/env bash
# quasibiclique-mpi against quasibiclique on the same runs, on 1, 2 and 3
# processes (more than the cores: --oversubscribe): the output file byte for
# byte (or the old one kept), the exit status, standard output but for the
# elapsed time, and every line of standard error. The group "killed" kills
# one process of a long run instead.
#
# Usage: mpi_test.sh GROUP MPIRUN SINGLE SPREAD DATADIR EXAMPLESDIR
set -u
group=$1
launcher=$2
single=$3
spread=$4
data=$5
examples=$6

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mpirun=("$launcher" --allow-run-as-root --oversubscribe -q)
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Standard output without the elapsed time, which differs from run to run.
untimed() { sed 's/Time taken.*$//' "$1"; }

# Runs `single` with the arguments, OUT standing for the output file (which
# holds "old" before the run), then `spread` on 1, 2 and 3 processes with
# one or two threads, and compares each with the first.
same() {
  printf 'old\n' > "$work/single.out"
  "$single" "${@/#OUT/$work/single.out}" < "${input:-/dev/null}" \
      > "$work/single.txt" 2> "$work/single.err"
  local want=$?
  for ranks in 1 2 3; do
    printf 'old\n' > "$work/spread.out"
    timeout 300 "${mpirun[@]}" -np "$ranks" "$spread" --threads=$((ranks % 2 + 1)) \
        "${@/#OUT/$work/spread.out}" < "${input:-/dev/null}" \
        > "$work/spread.txt" 2> "$work/spread.err"
    local got=$?
    local run="$* on $ranks processes"
    [ "$got" = "$want" ] || fail "$run: status $got, not $want"
    cmp -s "$work/single.out" "$work/spread.out" || fail "$run: the output files differ"
    [ "$(untimed "$work/single.txt")" = "$(untimed "$work/spread.txt")" ] ||
        fail "$run: standard output differs"
    while IFS= read -r line; do
      grep -qxF -- "$line" "$work/spread.err" || fail "$run: no error line '$line'"
    done < "$work/single.err"
    ls -a "$work" | grep -q '^\.quasibiclique\.' && fail "$run: a temporary file is left"
  done
}

# A new memory control group below this shell's own, limited to `bytes`
# (cgroup v2 or v1): its path, or nothing when none can be made (not root,
# no writable memory controller).
memory_group() {
  local bytes=$1 line own parent limitfile
  while IFS= read -r line; do
    own=${line#*:*:}
    case "$line" in
      0::*) parent=/sys/fs/cgroup$own limitfile=memory.max ;;
      *:memory:*) parent=/sys/fs/cgroup/memory$own limitfile=memory.limit_in_bytes ;;
      *) continue ;;
    esac
    if mkdir "$parent/qbmpi.$$" 2> /dev/null; then
      if echo "$bytes" > "$parent/qbmpi.$$/$limitfile" 2> /dev/null; then
        echo "$parent/qbmpi.$$"
        return
      fi
      rmdir "$parent/qbmpi.$$"
    fi
  done < /proc/self/cgroup
}

# A dataset of `lines` random lines: bipartite, each of `items` items with
# probability percent/100; undirected, a symmetric graph on `lines` vertices.
random_dataset() {
  local seed=$1 type=$2 lines=$3 items=$4 percent=$5
  awk -v seed="$seed" -v type="$type" -v n="$lines" -v m="$items" -v p="$percent" 'BEGIN {
    srand(seed)
    if (type == 0) {
      for (t = 0; t < n; t++) {
        line = ""
        for (i = 0; i < m; i++) if (rand() * 100 < p) line = line i " "
        print line
      }
      exit
    }
    for (i = 0; i < n; i++) for (j = i + 1; j < n; j++) if (rand() * 100 < p) edge[i, j] = edge[j, i] = 1
    for (i = 0; i < n; i++) {
      line = ""
      for (j = 0; j < n; j++) if ((i, j) in edge) line = line j " "
      print line
    }
  }'
}

case "$group" in
  examples)
    tiny=$examples/tiny.dat
    same "$tiny" 3 1 1 3 0 OUT
    same --search=tolerance "$tiny" 3 1 1 3 0 OUT
    same --search=tolerance --max-results=5 "$tiny" 2 1 1 2 0 OUT
    same --count-only "$tiny" 2 1 1 2 0
    same "$tiny" 2 1 1 2 0 -
    input=$tiny same - 2 1 1 2 0 OUT
    gzip -c "$tiny" > "$work/tiny.dat.gz"
    same "$work/tiny.dat.gz" 2 1 1 2 0 OUT
    same --format=edges "$examples/tiny.edges" 2 1 1 2 0 OUT
    same --format=baskets "$examples/tiny.baskets" 2 1 1 2 0 OUT
    ;;
  datasets)
    same "$data/divorce.dat" 4 2 2 4 0 OUT
    same "$data/lesmis.adj" 3 1 1 3 1 OUT
    same "$data/hepatitis.dat" 2 0 0 20 0 OUT
    same --search=tolerance "$data/lesmis.adj" 3 1 1 3 1 OUT
    same --search=tolerance "$data/vote.dat" 3 1 1 180 0 OUT
    same --search=tolerance "$data/hepatitis.dat" 2 0 0 40 0 OUT
    # Which results a bounded walk keeps depends on the order of its pairs.
    same --search=tolerance --max-results=20000 "$data/hepatitis.dat" 2 0 0 40 0 OUT
    ;;
  random)
    for seed in 1 2; do
      random_dataset "$seed" 0 16 12 55 > "$work/bipartite.dat"
      random_dataset "$seed" 1 14 0 45 > "$work/undirected.adj"
      for search in auto tolerance; do
        same --search=$search "$work/bipartite.dat" 2 1 1 2 0 OUT
        same --search=$search "$work/bipartite.dat" 3 1 1 3 0 OUT
        same --search=$search "$work/undirected.adj" 2 1 1 2 1 OUT
        same --search=$search "$work/undirected.adj" 3 1 1 3 1 OUT
      done
    done
    ;;
  failures)
    same "$work/missing.dat" 2 1 1 2 0 OUT
    same "$data/divorce.dat" 2 1 1 2 0 "$work/missing/out.txt"
    printf '0 1 2\n1 2 99999999999\n' > "$work/bad.dat"
    same "$work/bad.dat" 2 1 1 2 0 OUT
    same --memory-limit=1M --search=tolerance "$data/hepatitis.dat" 2 0 0 40 0 OUT
    # A file system that fills up (as root): every process writes its
    # block of the file, and the blocks meet the end of the room at
    # different places; the failure is the single run's, the old file stays.
    full=$work/full
    if [ "$(id -u)" = 0 ] && mkdir "$full" && mount -t tmpfs -o size=600k tmpfs "$full"; then
      printf 'old\n' > "$full/out.txt"
      same "$data/divorce.dat" 4 2 2 4 0 "$full/out.txt"
      same "$data/lesmis.adj" 2 1 1 2 1 "$full/out.txt"
      [ "$(cat "$full/out.txt")" = old ] || fail "the old output in a full file system was not kept"
      ls -a "$full" | grep -q '^\.quasibiclique\.' && fail "a temporary file is left in a full file system"
      umount "$full"
    fi
    ;;
  outofmemory)
    # Rank 1 runs in a memory control group of its own, too small for its
    # share of the results: it stops at its memory budget, and the run ends
    # with the single run's report of it, the old output kept, no temporary
    # file left.
    cgroup=$(memory_group 200000000)
    if [ -z "$cgroup" ]; then
      echo "no memory control group can be made here: nothing checked"
    else
      printf 'old\n' > "$work/out.txt"
      args=(--threads=1 "$data/divorce.dat" 5 3 3 5 0 "$work/out.txt")
      timeout 300 "${mpirun[@]}" -np 1 "$spread" "${args[@]}" : \
          -np 1 bash -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$cgroup" "$spread" "${args[@]}" \
          > "$work/run.txt" 2> "$work/run.err"
      status=$?
      rmdir "$cgroup"
      [ "$status" = 4 ] || fail "rank 1 out of memory: status $status, not 4: $(cat "$work/run.err")"
      grep -qxF "quasibiclique: error: out of memory: the run's memory reached its limit" \
          "$work/run.err" || fail "rank 1 out of memory: no report of it: $(cat "$work/run.err")"
      [ "$(cat "$work/out.txt")" = old ] || fail "rank 1 out of memory: the old output was not kept"
      ls -a "$work" | grep -q '^\.quasibiclique\.' && fail "rank 1 out of memory: a temporary file is left"
    fi
    ;;
  killed)
    # One process of a long run is killed: the job ends (the launcher ends
    # the others and, unless quiet, names the process), the old output
    # stays, no temporary file is left.
    printf 'old\n' > "$work/out.txt"
    args=(--search=tolerance "$data/divorce.dat" 4 2 2 4 0 "$work/out.txt")
    timeout 120 "$launcher" --allow-run-as-root --oversubscribe -np 1 "$spread" "${args[@]}" : \
        -np 1 bash -c 'echo $$ > "$0/worker.pid"; exec "$@"' "$work" "$spread" "${args[@]}" \
        > "$work/run.txt" 2> "$work/run.err" &
    job=$!
    for _ in $(seq 600); do
      [ -s "$work/worker.pid" ] && ls -a "$work" | grep -q '^\.quasibiclique\.' && break
      sleep 0.1
    done
    sleep 1
    kill -9 "$(cat "$work/worker.pid")"
    wait "$job"
    status=$?
    [ "$status" != 0 ] || fail "the run with a killed process ended with status 0: $(cat "$work/run.txt")"
    [ "$status" != 124 ] || fail "the run with a killed process did not end"
    grep -q 'rank 1 .*signal 9' "$work/run.err" ||
        fail "no message names the killed process: $(cat "$work/run.err")"
    [ "$(cat "$work/out.txt")" = old ] || fail "the old output was not kept"
    ls -a "$work" | grep -q '^\.quasibiclique\.' && fail "a temporary file is left"
    ;;
  *)
    fail "unknown group $group"
    ;;
esac
[ "$failures" = 0 ] && echo "$group: every check passed"
[ "$failures" = 0 ]
