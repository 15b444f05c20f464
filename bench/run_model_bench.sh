#!/bin/sh
# Builds the model benchmark in Release and runs it, next to IRSTLM, on the
# models of bench/make_models.sh (made first when missing).  Each model's
# tables go to standard output: the probing model's, then the six model
# types'.  kjv5 and kjv5p, trained on the King James Version only, are also
# scored on the World English Bible text, which they have not seen.  The
# machine and the load average before and after are printed with each model;
# with QUIET=x each model waits (15 minutes at most) for the one-minute load
# average to fall below x, since other work on the machine disturbs the run.
# Usage: [BUILD_DIR=dir] [REPEAT=n] [MODELS="kjv5 bible5 ..."] [QUIET=x] bench/run_model_bench.sh [MODEL_DIR]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build-bench"}
models=${1:-/tmp/quarn_models}
repeat=${REPEAT:-3}
wanted=${MODELS:-"kjv5 bible5 bible3 kjv5p"}
"$root/bench/make_models.sh" "$models" > /dev/null
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target model_bench -j2

# lscpu's value for a field such as "L2 cache".
cpu() { lscpu | sed -n "s/^$1: *//p"; }

wait_quiet() {
  [ -n "$QUIET" ] || return 0
  waited=0
  while [ "$waited" -lt 900 ] && awk -v limit="$QUIET" '{ exit !($1 >= limit) }' /proc/loadavg; do
    sleep 10
    waited=$((waited + 10))
  done
}

# MODEL:TEXT[:HELD-OUT TEXT]
for entry in kjv5:kjv:web bible5:bible bible3:bible kjv5p:kjv:web; do
  model=${entry%%:*}
  case " $wanted " in *" $model "*) ;; *) continue ;; esac
  rest=${entry#*:}
  text=${rest%%:*}
  heldout=
  [ "$rest" = "$text" ] || heldout=${rest#*:}
  wait_quiet
  echo
  echo "Machine: $(nproc) cores, $(cpu 'Model name'); L1d $(cpu 'L1d cache'), L2 $(cpu 'L2 cache')," \
    "L3 $(cpu 'L3 cache'); $(free -g | awk '/^Mem:/ {print $2}') GiB"
  echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  "$build/bench/model_bench" "$models/$model.arpa" "$models/$text.tok" --repeat "$repeat" \
    ${heldout:+--heldout "$models/$heldout.tok"}
  echo
  echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
done
