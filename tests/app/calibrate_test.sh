#!/usr/bin/env bash
# End-to-end tests of `nelctl calibrate` on the virtual unit.
#   calibrate_test.sh CASE NELCTL NELSIM DATA_DIR WORK_DIR
set -euo pipefail
case_name="$1"; nelctl="$2"; nelsim="$3"; data="$4"; work="$5"
rm -rf "$work"; mkdir -p "$work"
out="$work/out.txt"; err="$work/err.txt"

fail() { echo "FAIL: $*"; echo "--- stdout"; cat "$out"; echo "--- stderr"; cat "$err"; exit 1; }
# near VALUE WANTED TOLERANCE
near() { awk -v v="$1" -v w="$2" -v t="$3" 'BEGIN { d = v - w; if (d < 0) d = -d; exit !(d <= t) }'; }
# reading "PREFIX: channel C reads X mmHg" -> X
reading() { sed -n "s/^$1: channel $2 reads \([-0-9.]*\) mmHg$/\1/p" "$out"; }

case "$case_name" in
  zero)
    # Offset errors of 4 and 3 mmHg on channels 0 and 2: every channel reads 0
    # once the new offsets are stored (channel 4 shares channel 2's transducer).
    "$nelctl" calibrate zero --simulate --speed 10 --subject "$data/miscalibrated_unit.json" --store \
      >"$out" 2>"$err" || fail "exit status $?"
    grep -q '^stored in the unit$' "$out" || fail "not stored"
    for c in 0 1 2 3 4 5; do
      v="$(reading 'after storing' "$c")"
      [[ -n "$v" ]] && near "$v" 0 0.05 || fail "channel $c reads '$v' after storing"
    done
    # The offsets moved by the errors.
    for pair in "0 -4" "2 -3" "1 0"; do
      read -r c shift <<<"$pair"
      line="$(grep "^channel $c: zeroed, offset" "$out")" || fail "channel $c not zeroed"
      old="$(sed 's/.*offset \([-0-9.]*\) -> .*/\1/' <<<"$line")"
      new="$(sed 's/.* -> \([-0-9.]*\) mmHg$/\1/' <<<"$line")"
      near "$(awk -v a="$new" -v b="$old" 'BEGIN { print a - b }')" "$shift" 0.05 || fail "channel $c offset moved $old -> $new"
    done
    grep -q '3  通道零点压力校准成功!' "$err" || fail "no debug message for channel 3"
    ;;
  gain)
    # Gain errors of +5 % and -4 % (with a 3 mmHg offset): the calibrator's
    # pressures read true once the two-point coefficients are stored.
    "$nelctl" calibrate gain --simulate --speed 10 --subject "$data/miscalibrated_unit.json" \
      --channels 1,2 --store >"$out" 2>"$err" || fail "exit status $?"
    for p in 100 200; do
      for c in 1 2; do
        v="$(reading "calibrator at $p mmHg" "$c")"
        [[ -n "$v" ]] && near "$v" "$p" 0.05 || fail "channel $c reads '$v' at $p mmHg"
      done
    done
    ;;
  prompts)
    # Without --simulate the user confirms each reference pressure with Enter;
    # the unit (here a virtual unit in another process) is found by the port search.
    "$nelsim" run --speed 10 --port 5 --link-dir "$work" --seconds 60 >"$work/sim.txt" 2>&1 &
    sim=$!
    trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
    for _ in $(seq 100); do [[ -e "$work/COM5" ]] && break; sleep 0.05; done
    printf '\n\n' | NEL_PORT_DIR="$work" "$nelctl" calibrate gain --channels 0 >"$out" 2>"$err" \
      || fail "exit status $?"
    grep -q '^unit on COM5; two-point calibration of channels 0$' "$out" || fail "unit not found on COM5"
    grep -q '^point 1: apply 100 mmHg to channels 0, then press Enter$' "$out" || fail "no first prompt"
    grep -q '^point 2: apply 200 mmHg to channels 0, then press Enter$' "$out" || fail "no second prompt"
    grep -q '^channel 0: counts ' "$out" || fail "no result"
    grep -q '^not stored' "$out" || fail "stored without --store"
    ;;
  no-unit)
    # No device behind any port: both workflows refuse.
    mkdir -p "$work/ports"
    for sub in zero gain; do
      if NEL_PORT_DIR="$work/ports" "$nelctl" calibrate "$sub" >"$out" 2>"$err"; then fail "$sub ran without a unit"; fi
      grep -q 'no unit answers on ports 1 to 149' "$err" || fail "$sub: no clear message"
    done
    rc=0; NEL_PORT_DIR="$work/ports" "$nelctl" calibrate zero --port 3 >"$out" 2>"$err" || rc=$?
    [[ "$rc" == 2 ]] || fail "--port 3 (absent): exit status $rc, not 2"
    grep -q 'cannot open port COM3' "$err" || fail "--port 3: no clear message"
    ;;
  bad-channels)
    # Refused as a usage error before any unit is looked for.
    for list in 4 0,0 "" 1,x 0,1,2,3,0 -1; do
      if NEL_PORT_DIR="$work" "$nelctl" calibrate gain --channels="$list" >"$out" 2>"$err"; then
        fail "--channels '$list' accepted"
      fi
      grep -q -- '--channels' "$err" || fail "--channels '$list': no clear message"
      if grep -q 'no unit answers' "$err"; then fail "--channels '$list' looked for a unit"; fi
    done
    ;;
  *)
    echo "unknown case $case_name"; exit 2 ;;
esac
echo "ok: $case_name"
