#!/usr/bin/env bash
# Starts or stops a local rank service in the background, its streams in files
# (never the caller's: CTest would wait for them).
#   rank-service.sh start ADDRESS DIR [CSV] [FAULT]   -> DIR/{pid,log,ranks.sqlite}
#   rank-service.sh stop DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmd=$1 
case "$cmd" in
start)
  address=$2 dir=$3 csv=${4:-} fault=${5:-}
  mkdir -p "$dir"
  rm -f "$dir/ready"
  args=(--listen "$address" --port 80 --db "$dir/ranks.sqlite" --ready-file "$dir/ready")
  [ -n "$csv" ] && args+=(--import "$csv")
  [ -n "$fault" ] && args+=(--fault "$fault")
  nohup python3 "$root/rank-service/rankservice.py" "${args[@]}" </dev/null >"$dir/log" 2>&1 &
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
*) echo "usage: $0 start ADDRESS DIR [CSV] [FAULT] | stop DIR" >&2; exit 2 ;;
esac
