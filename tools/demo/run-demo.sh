#!/usr/bin/env bash
# Ostrelle's main job, run by `./run demo`: a phone (phone-sim, TLS, new
# format), Ostrelle itself (headless, in a temporary data folder) and a PC's
# USB stack (usb-host-emu importing the virtual speakerphone over USB/IP).
# Audio goes both ways, call control both ways, then everything is torn down
# and a short report is printed. Exits 0 only when every check holds.
set -uo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
work=$(mktemp -d /tmp/ostrelle-demo.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${KEEP_DEMO:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

PHONE_TONE=440   # what the phone plays into the call
HOST_TONE=1000   # what the PC plays into the virtual speaker
SECONDS_STREAMED=6
HOST_SHAPE=${HOST_SHAPE:-linux}

t0=$(date +%s%N)
stamp() { echo $(( ($(date +%s%N) - t0) / 1000000 )); }
# Prefixes every line with the milliseconds since the demo started.
timestamped() { while IFS= read -r line; do printf '%6d %s\n' "$(stamp)" "$line"; done; }
free_port() {
    local p
    while :; do
        p=$(( 20000 + RANDOM % 30000 ))
        (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo $p; return; }
    done
}
wait_line() {  # file text seconds
    local i
    for ((i = 0; i < $3 * 10; i++)); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
failures=()
check() {  # name, then a command that must succeed
    local name=$1; shift
    if "$@"; then echo "  [ok]   $name"; else echo "  [FAIL] $name"; failures+=("$name"); fi
}

echo "== Ostrelle demo (work folder $work)"

# The phone.
mkfifo "$work/phone.in"
"$bin/phone-sim" --port 0 --tls --media-tone $PHONE_TONE --record "$work/phone_received.wav" \
    < "$work/phone.in" > >(timestamped > "$work/phone.log") 2>&1 &
pids+=($!)
exec 4> "$work/phone.in"  # keeps the phone's input open
wait_line "$work/phone.log" "listening on" 5 || { echo "phone-sim did not start"; cat "$work/phone.log"; exit 1; }
phone_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/phone.log" | head -1)

# Ostrelle, headless, with its own data folder.
usbip_port=$(free_port)
data="$work/Mirelta/Ostrelle"
mkdir -p "$data"
cat > "$data/Quellin.ini" <<INI
[common]
AutoIP=0
PhoneIP=127.0.0.1
TransType=1
PhonePort=$phone_port
UsbipPort=$usbip_port
SyslogPort=$(free_port)
MediaPort=$(free_port)
INI
APPDATA="$work" "$bin/ostrelle" --headless < /dev/null > >(timestamped > "$work/ostrelle.log") 2>&1 &
ostrelle_pid=$!
pids+=($ostrelle_pid)

echo "-- pairing"
if ! wait_line "$work/ostrelle.log" "STATUS_PAIREDSIGNIN" 20; then
    echo "Ostrelle did not pair:"; cat "$work/ostrelle.log"; exit 1
fi
sed -n 's/^ *\([0-9]*\) status: \(.*\)/  \1 ms  \2/p' "$work/ostrelle.log"

# The PC's USB stack: controls first, then a call with audio both ways.
echo "-- the PC's USB stack"
"$bin/usb-host-emu" --port "$usbip_port" --enumerate --set-volume 30 --mute 1 > "$work/host_controls.log" 2>&1
grep -E '^(device|string [0-9]|volume|set-volume|set-mute|result)' "$work/host_controls.log" | sed 's/^/  /'
"$bin/usb-host-emu" --port "$usbip_port" --host "$HOST_SHAPE" --play tone:$HOST_TONE \
    --capture "$work/host_captured.wav" --seconds $SECONDS_STREAMED --hid-poll \
    > >(timestamped > "$work/host_stream.log") 2>&1 &
host_pid=$!
pids+=($host_pid)
sleep 2.5
echo "zoom 0 4" >&4                # the phone's volume-up key
sleep 1.5
hid_after_zoom=$(grep -c 'hid-in: ..' "$work/host_stream.log")
echo "hangup" >&4                  # the phone hangs up: the PC's client hears it on HID
sleep 1
hid_after_hangup=$(( $(grep -c 'hid-in: ..' "$work/host_stream.log") - hid_after_zoom ))
wait "$host_pid"
host_rc=$?
sleep 1

echo "-- teardown"
kill -TERM "$ostrelle_pid"
wait "$ostrelle_pid"
ostrelle_rc=$?
echo "quit" >&4
sleep 1

echo "-- report"
echo "  ostrelle exit: $ostrelle_rc; usb-host-emu exit: $host_rc"
grep -E '^ *[0-9]+ (playback|capture):' "$work/host_stream.log" | sed 's/^ *[0-9]* /  pacing /'
"$bin/demo-wav-check" "$work/host_captured.wav" --tone $PHONE_TONE > "$work/check_down.txt"
down_rc=$?
"$bin/demo-wav-check" "$work/phone_received.wav" --tone $HOST_TONE > "$work/check_up.txt"
up_rc=$?
for dir in up down; do
    f="$work/check_$dir.txt"
    label=$([ $dir = up ] && echo "PC -> phone  (${HOST_TONE} Hz)" || echo "phone -> PC  (${PHONE_TONE} Hz)")
    printf '  %s: first sound after %s ms of recording, %s ms judged, silent blocks %s, impure blocks %s: %s\n' \
        "$label" "$(sed -n 's/first_sound_ms: //p' "$f")" "$(sed -n 's/judged_ms: //p' "$f")" \
        "$(sed -n 's/silent_blocks: //p' "$f")" "$(sed -n 's/impure_blocks: //p' "$f")" \
        "$(sed -n 's/result: //p' "$f")"
done
hid_total=$(grep -c 'hid-in: ..' "$work/host_stream.log")
echo "  HID input reports at the PC: $hid_after_zoom after the phone's volume-up, $hid_after_hangup after its hang-up:"
grep 'hid-in: ..' "$work/host_stream.log" | sed 's/^ *\([0-9]*\) hid-in: /    \1 ms  /'

grep -E '<- DUVO_CMD_C2P_(CURRENT_VOLUME|SPEAKER_MUTE)' "$work/phone.log" | sed 's/^ *[0-9]* /  phone got /'

echo "-- checks"
check "paired and signed in over TLS" grep -q 'TLS established' "$work/phone.log"
check "the PC enumerated the speakerphone" grep -q 'result: ok' "$work/host_controls.log"
check "host volume reached the phone" grep -q '<- DUVO_CMD_C2P_CURRENT_VOLUME' "$work/phone.log"
check "host mute reached the phone" grep -q '<- DUVO_CMD_C2P_SPEAKER_MUTE' "$work/phone.log"
check "the call opened media" grep -q '# media started' "$work/phone.log"
check "PC -> phone audio intact" test $up_rc -eq 0
check "phone -> PC audio intact" test $down_rc -eq 0
check "phone volume-up reached the PC as HID reports" test "$hid_after_zoom" -gt 0
check "phone hang-up reached the PC as a HID report" test "$hid_after_hangup" -gt 0
check "streaming ended cleanly" test $host_rc -eq 0
check "Ostrelle ended in order" test $ostrelle_rc -eq 0
check "teardown told the phone" grep -q '<- DUVO_CMD_COM_CLOSE_FD' "$work/phone.log"

if [ ${#failures[@]} -ne 0 ]; then
    echo "== demo FAILED (${#failures[@]} checks); logs kept in $work"
    KEEP_DEMO=1
    exit 1
fi
echo "== demo passed"
