#!/usr/bin/env bash
# Starts or stops a local rank service in the background, its streams in files
# (never the caller's: CTest would wait for them).
#   rank-service.sh start [--fresh] ADDRESS DIR [CSV] [FAULT]   -> DIR/{pid,log,ranks.sqlite}
#     --fresh starts from an empty database (tests that count lookups).
#   rank-service.sh stop DIR
# Debian's python3: the service uses Debian's Redis, Prometheus and uvloop
# modules, which another python3 on PATH may lack.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmd=$1 
case "$cmd" in
start)
  shift
  fresh=0
  [ "${1:-}" = "--fresh" ] && { fresh=1; shift; }
  address=$1 dir=$2 csv=${3:-} fault=${4:-}
  mkdir -p "$dir"
  [ $fresh = 1 ] && rm -f "$dir"/ranks.sqlite*
  rm -f "$dir/ready"
  args=(--listen "$address" --port 80 --db "$dir/ranks.sqlite" --ready-file "$dir/ready")
  [ -n "$csv" ] && args+=(--import "$csv")
  [ -n "$fault" ] && args+=(--fault "$fault")
  nohup /usr/bin/python3 "$root/rank-service/rankservice.py" "${args[@]}" </dev/null >"$dir/log" 2>&1 &
  echo $! >"$dir/pid"
  for _ in $(seq 100); do
    [ -s "$dir/ready" ] && exit 0
    kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "rank service on $address did not start:" >&2
  cat "$dir/log" >&2
  exit 1
  ;;
stop)
  dir=$2
  [ -f "$dir/pid" ] && kill "$(cat "$dir/pid")" 2>/dev/null || true
  rm -f "$dir/pid"
  ;;
*) echo "usage: $0 start [--fresh] ADDRESS DIR [CSV] [FAULT] | stop DIR" >&2; exit 2 ;;
esac
