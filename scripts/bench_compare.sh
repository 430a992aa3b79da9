#!/usr/bin/env bash
# Side by side (not run in CI): the encoders against other converters (reuses
# scripts/bench_encoding.sh), then one message with a 1 MB and a 50 MB attachment
# sent by tarvex headless and by the peers installed here (Python email + smtplib
# always; swaks, s-nail, mutt when present) to the same discarding sink of our own
# (bench/discard_sink.py), in the same run: wall time, CPU and peak memory, with
# ratios to tarvex. tarvex's time is shown with and without the fixed one-second
# pause after "send". Last, the CPU a mostly waiting macro run (open, close) uses.
# Set BENCH_SKIP_ENCODING=1 to skip the encoder part.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
ninja -C build -j2 tarvex >/dev/null
if [ "${BENCH_SKIP_ENCODING:-0}" != 1 ]; then
  echo "==== encoding (scripts/bench_encoding.sh)"
  scripts/bench_encoding.sh
fi

work=$(mktemp -d)
sink_pid=""
trap '[ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null; rm -rf "$work"' EXIT
/usr/bin/python3 bench/discard_sink.py >"$work/sink.txt" &
sink_pid=$!
for _ in $(seq 50); do grep -q PORT "$work/sink.txt" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/PORT/{print $2}' "$work/sink.txt")
printf '[ConInf]\r\nIPAdr=127.0.0.1\r\nMailAdr=me@example.jp\r\nUser=bench\r\n[SMTP]\r\nPort=%s\r\n' "$port" >"$work/tarvex.INI"
export TARVEX_INI=$work/tarvex.INI
printf '本文の一行目\n' >"$work/body.txt"

# measure LABEL CMD...: one run; prints wall, user+sys and peak RSS, keeps them for ratios.
declare -A WALL CPU RSS
measure() {
  local label=$1; shift
  if /usr/bin/time -f "%e %U %S %M" -o "$work/t" "$@" >"$work/out" 2>&1 </dev/null; then
    read -r wall user sys rss <"$work/t"
    WALL[$label]=$wall; CPU[$label]=$(echo "$user + $sys" | bc); RSS[$label]=$rss
    printf '  %-28s wall %7.2f s  cpu %6.2f s  peak %8d KB\n' "$label" "$wall" "${CPU[$label]}" "$rss"
  else
    echo "  $label: failed ($(tail -1 "$work/out"))"
  fi
}

macro() {  # macro ATTACHMENT -> file
  printf 'server:\r\n127.0.0.1\r\nto:\r\ntaro@example.jp\r\nsubject:\r\nbench\r\nreply-to:\r\nme@example.jp\r\nbody:\r\nline\r\nbind:\r\n%s\r\naction:\r\nsend\r\n' "$1" >"$work/m.txt"
  echo "$work/m.txt"
}

for mb in 1 50; do
  att=$work/attach-$mb.bin
  head -c $((mb * 1048576)) /dev/urandom >"$att"
  echo "==== one message with a $mb MB attachment"
  measure tarvex ./build/tarvex --headless "$(macro "$att")"
  measure python /usr/bin/python3 bench/py_send.py "$port" "$att"
  command -v swaks >/dev/null && measure swaks swaks --server 127.0.0.1 --port "$port" --from me@example.jp \
    --to taro@example.jp --header "Subject: bench" --attach @"$att" --silent 3
  command -v s-nail >/dev/null && measure s-nail env HOME="$work" s-nail -: / -S mta=smtp://127.0.0.1:"$port" \
    -S sendwait -r me@example.jp -s bench -a "$att" taro@example.jp <"$work/body.txt"
  command -v mutt >/dev/null && measure mutt env HOME="$work" mutt -n -F /dev/null \
    -e "set smtp_url=smtp://127.0.0.1:$port/ from=me@example.jp copy=no record=''" \
    -s bench -a "$att" -- taro@example.jp <"$work/body.txt"
  t=${WALL[tarvex]:-}
  if [ -n "$t" ]; then
    t0=$(echo "$t - 1" | bc)
    echo "  tarvex without its 1 s pause after send: $t0 s"
    for p in python swaks s-nail mutt; do
      [ -n "${WALL[$p]:-}" ] || continue
      printf '  %-8s / tarvex: wall %.2f (%.2f without the pause)  peak memory %.2f\n' "$p" \
        "$(echo "${WALL[$p]} / $t" | bc -l)" "$(echo "${WALL[$p]} / $t0" | bc -l)" \
        "$(echo "${RSS[$p]} / ${RSS[tarvex]}" | bc -l)"
    done
  fi
  unset 'WALL[swaks]' 'WALL[s-nail]' 'WALL[mutt]' 'WALL[python]' 'WALL[tarvex]'
done

echo "==== a mostly waiting macro run (open, close: two 1 s pauses)"
printf 'server:\r\n127.0.0.1\r\naction:\r\nopen\r\nclose\r\n' >"$work/wait.txt"
measure waiting ./build/tarvex --headless "$work/wait.txt"
printf '  CPU share of wall: %.3f %%\n' "$(echo "${CPU[waiting]} * 100 / ${WALL[waiting]}" | bc -l)"
