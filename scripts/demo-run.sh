#!/usr/bin/env bash
# The demo's programs, from a build folder that has the examples (scripts/demo.sh builds
# build/release; scripts/test.sh runs it on its sanitizer build, so that CI sees the demo
# work): the tour of message lines and the parameter tree, then two nodes as applications
# run them. A device node serves the sample tree; a controller node finds it by discovery,
# connects, secures the connection with TLS (level 1) and proves the verification code both
# hold, then reads three values, writes two of them and reads them back. It subscribes to
# two values, which the device then writes, and sees each change published; sets up a
# polled subscription and polls it; subscribes to the device's log with the last two rows
# replayed and sees a new row arrive; subscribes to an event that the device raises; and
# ends every subscription, after which a write publishes nothing. Last it runs a command on
# the device ("echo" with named arguments, answered with them), reads the device's state,
# and sends a raw "get" line whose reply comes back as text. Then it sends a 20 MB file of
# random bytes to the device, showing its progress, fetches it back under another name,
# and shows the MD5 of the original, of the device's copy and of the one fetched back. It
# lists the device's storage folder (node-files, which the device makes where it runs;
# peers' paths are taken below it), makes a folder there and removes it, deletes the file
# it sent, asks for the free space, and asks for a firmware update, which the device
# refuses. The nodes stop by themselves.
#
#   scripts/demo-run.sh BUILD_FOLDER [TOUR ARGUMENTS]
#
# BUILD_FOLDER is absolute, or taken from the folder the script is run in.
#
# The nodes serve 127.0.0.1:4197 and 4198. Run as root, they run in a network namespace of
# their own, where no other program holds a port; otherwise on the host's loopback, and a
# port that another program holds is named before anything starts. ZELKOR_DEMO_PATIENCE,
# a whole number (default 1), multiplies every wait: a sanitizer build is slower.
set -euo pipefail
# The build folder is named from the caller's folder; the script then works from the
# repository's.
if [ "$#" -ge 1 ] && [ -n "$1" ] && [ "${1#/}" = "$1" ]; then
  set -- "$PWD/$1" "${@:2}"
fi
cd "$(dirname "$0")/.."
. scripts/common.sh

if [ "$#" -lt 1 ] || [ ! -x "$1/examples/zelkor_node" ] || [ ! -x "$1/examples/zelkor_demo" ]; then
  echo "usage: scripts/demo-run.sh BUILD_FOLDER [TOUR ARGUMENTS]: a build folder with the examples" >&2
  exit 2
fi
build_dir="$1"
shift
patience="${ZELKOR_DEMO_PATIENCE:-1}"
if ! [[ "$patience" =~ ^[1-9][0-9]*$ ]]; then
  echo "ZELKOR_DEMO_PATIENCE must be a whole number above 0, not \"$patience\"" >&2
  exit 2
fi
# The longest a node may live: it stops by itself well before.
node_seconds=$((120 * patience))

node="$build_dir/examples/zelkor_node"
tree="$PWD/examples/device-tree.json"
guid="5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13"
scratch="$(mktemp -d)"
namespace=""
in_namespace=()
cleanup() {
  rm -rf "$scratch"
  if [ -n "$namespace" ]; then
    ip netns del "$namespace" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# Root runs the nodes in a namespace of their own; a namespace left by a run that was
# killed is removed once its process is gone.
if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null 2>&1; then
  for left in $(ip netns list 2>/dev/null | sed -nE 's/^(zelkor-demo-([0-9]+)).*/\1 \2/p' | tr ' ' ':'); do
    if ! kill -0 "${left#*:}" 2>/dev/null; then
      ip netns del "${left%%:*}" 2>/dev/null || true
    fi
  done
  if ip netns add "zelkor-demo-$$" 2>/dev/null; then
    namespace="zelkor-demo-$$"
    in_namespace=(ip netns exec "$namespace")
    "${in_namespace[@]}" ip link set lo up
  fi
fi
if [ -z "$namespace" ]; then
  for port in 4197 4198; do
    if port_busy "$port"; then
      echo "port $port is busy (another program holds it, TCP on 127.0.0.1 or UDP on any address): stop that program and run the demo again" >&2
      exit 1
    fi
  done
fi

"$build_dir/examples/zelkor_demo" "$@"

# start_node NAME FD PORT OPTIONS...: a node in a folder of its own (it keeps its event
# log there) serving 127.0.0.1:PORT, its commands read from a fifo that descriptor FD
# holds open. Its event lines (one JSON object each) are kept in NAME.out and shown with
# the name in front, but for its start line, keep-alive counts and transfer progress; its
# log goes to NAME.log. The discovery timer runs ten times faster (--timer-scale, a test
# seam) so that it all takes seconds, and `timeout` ends a node that would not stop.
start_node() {
  local name="$1" fd="$2" port="$3"
  shift 3
  mkdir "$scratch/$name"
  mkfifo "$scratch/$name.in"
  (cd "$scratch/$name" &&
    exec "${in_namespace[@]}" timeout "$node_seconds" "$node" --name "demo-$name" --listen "127.0.0.1:$port" --tls-level 1 --code demo-code \
      --timer-scale 10 "$@" <"$scratch/$name.in" 2>"$scratch/$name.log" | tee "$scratch/$name.out" |
      grep --line-buffered -vE '"event":"(start|alive|progress)"' | sed -u "s/^/[$name] /") &
  eval "exec $fd>\"\$scratch/\$name.in\""
}

# matching NAME FIELD...: how many event lines of the node match every one of the extended
# expressions, each a member as the node writes it ('"event":"get"', '"tag":"read"'): a line
# matches whatever other members stand between them, and in whichever order.
matching() {
  local text field
  text="$(cat "$scratch/$1.out" 2>/dev/null)" || { echo 0; return; }
  shift
  for field in "$@"; do
    text="$(printf '%s\n' "$text" | grep -E -- "$field")" || { echo 0; return; }
  done
  printf '%s\n' "$text" | wc -l
}
# await_lines COUNT NAME FIELD...: waits up to 20 seconds (times the patience) for COUNT
# event lines of the node that match every field.
await_lines() {
  local count="$1" name="$2" tries=0
  shift 2
  until [ "$(matching "$name" "$@")" -ge "$count" ]; do
    # A node that cannot go on says why and stops: no use waiting for it.
    if grep -E '"event":"error"' "$scratch/$name.out" 2>/dev/null | sed "s/^/[$name] /" >&2; then
      return 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt $((200 * patience)) ]; then
      echo "no line with $* from the $name within $((20 * patience)) s" >&2
      return 1
    fi
    sleep 0.1
  done
}
# await NAME FIELD...: one such line.
await() { await_lines 1 "$@"; }
# A node that has gone makes the write fail, not the script.
trap '' PIPE
tell() { echo "$2" >&"$1" 2>/dev/null || true; }
# lines NAME: how many event lines the node has written so far.
lines() { wc -l <"$scratch/$1.out"; }
# progress NAME FROM FIELD...: like await, for up to 60 seconds (times the patience),
# showing the node's latest progress percentage as it rises, read from the lines after the
# first FROM (those of the transfer asked last: an earlier one's progress is not this one's).
progress() {
  local name="$1" from="$2" tries=0 last="" percent
  shift 2
  until [ "$(matching "$name" "$@")" -ge 1 ]; do
    percent="$(tail -n +"$((from + 1))" "$scratch/$name.out" | grep '"event":"progress"' | tail -n 1 |
      sed -nE 's/.*"percent":([0-9]+).*/\1/p' || true)"
    if [ -n "$percent" ] && [ "$percent" != "$last" ]; then
      echo "[$name] ... $percent %"
      last="$percent"
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt $((600 * patience)) ]; then
      echo "no line with $* from the $name within $((60 * patience)) s" >&2
      return 1
    fi
    sleep 0.1
  done
}
step() { sleep 0.2; echo; echo "== $*"; }

echo
echo "== A device node and a controller node on loopback:"
mkdir "$scratch/files"
# The device keeps its peers' files in the folder it makes where it runs, node-files.
start_node device 3 4197 --guid "$guid" --tree "$tree" --device-state "amplifier on, 41 C" \
  --fwupdate-error "no update while the amplifier is on"
await device '"event":"listenerAdded"'
start_node controller 4 4198 --role controller --reply-port 4198

values='[{"path":"/configuration/device/name"},{"path":"/audio/gain"},{"path":"/audio/label"}]'
status=0
demo() {
  await controller '"event":"device"' '"guid":"'"$guid"'"' '"state":"New"' || return
  step "Discovered; the controller connects, asks for TLS and proves the code:"
  tell 4 '{"cmd":"connect","address":"127.0.0.1","port":4197}'
  await controller '"event":"security"' '"authenticated":true' '"secured":true' || return
  step "A get of three values:"
  tell 4 '{"cmd":"get","guid":"'"$guid"'","tag":"read","values":'"$values"'}'
  await controller '"event":"get"' '"tag":"read"' || return
  step "A set of two of them:"
  tell 4 '{"cmd":"set","guid":"'"$guid"'","tag":"write","values":[{"path":"/audio/gain","value":-6},{"path":"/audio/label","value":"Side fill"}]}'
  await controller '"event":"set"' '"tag":"write"' || return
  step "And the three read back:"
  tell 4 '{"cmd":"get","guid":"'"$guid"'","tag":"read back","values":'"$values"'}'
  await controller '"event":"get"' '"tag":"read back"' || return

  step "The controller subscribes to two values:"
  tell 4 '{"cmd":"subscribe","guid":"'"$guid"'","values":[{"path":"/audio/gain"},{"path":"/audio/label"}]}'
  await controller '"event":"subscribe"' '"guid":' || return
  step "The device writes both in its own tree; each change is published to the controller:"
  tell 3 '{"cmd":"write","path":"/audio/gain","value":-12}'
  tell 3 '{"cmd":"write","path":"/audio/label","value":"Monitor"}'
  await controller '"event":"publish"' '"Monitor"' || return

  step "A polled subscription of two values; the device mutes, and the controller polls:"
  tell 4 '{"cmd":"subscribepoll","guid":"'"$guid"'","name":"meters","paths":["/audio/gain","/audio/mute"]}'
  await controller '"event":"subscribepoll"' || return
  tell 3 '{"cmd":"write","path":"/audio/mute","value":true}'
  await device '"event":"write"' '"path":"/audio/mute"' || return
  tell 4 '{"cmd":"poll","guid":"'"$guid"'","name":"meters"}'
  await controller '"event":"poll"' || return

  step "The device logs two rows; the controller subscribes to its log with the last two replayed:"
  tell 3 '{"cmd":"logevent","priority":1,"category":"power","text":"amplifier on"}'
  tell 3 '{"cmd":"logevent","priority":3,"category":"audio","text":"clip on input 2"}'
  await device '"event":"logevent"' '"seqno":2[,}]' || return
  tell 4 '{"cmd":"sublog","guid":"'"$guid"'","mark":-2,"priority":0}'
  await controller '"event":"log"' '"seqno":2[,}]' || return
  step "A new row reaches the subscriber as it is logged:"
  tell 3 '{"cmd":"logevent","priority":2,"category":"audio","text":"limiter engaged"}'
  await controller '"event":"log"' '"seqno":3[,}]' || return

  step "The controller subscribes to the events under /alarms; the device raises one:"
  tell 4 '{"cmd":"subscribeevent","guid":"'"$guid"'","name":"/alarms"}'
  await controller '"event":"subscribeevent"' || return
  tell 3 '{"cmd":"raise","name":"/alarms/temperature","value":{"celsius":"71","sensor":"heatsink"}}'
  await controller '"event":"event"' || return

  step "The controller ends every subscription; the next write publishes nothing before a read answers:"
  tell 4 '{"cmd":"unsubscribeevent","guid":"'"$guid"'"}'
  tell 4 '{"cmd":"unsubscribe","guid":"'"$guid"'","values":[]}'
  await controller '"event":"unsubscribe"' || return
  tell 3 '{"cmd":"write","path":"/audio/gain","value":-6}'
  await_lines 2 device '"event":"write"' '"path":"/audio/gain"' || return
  tell 4 '{"cmd":"get","guid":"'"$guid"'","tag":"last","values":[{"path":"/audio/gain"}]}'
  await controller '"event":"get"' '"tag":"last"' || return
  if [ "$(grep -c '"event":"publish"' "$scratch/controller.out")" -ne 2 ]; then
    echo "a publish came after the unsubscribe" >&2
    return 1
  fi

  step "The controller runs \"echo\" on the device with named arguments; the result is the arguments:"
  tell 4 '{"cmd":"exec","guid":"'"$guid"'","tag":"echo","path":"/audio","command":"echo","arguments":{"channel":"2","gain":"-6"},"requestid":"demo-1"}'
  await controller '"event":"exec"' '"reply":true' '"tag":"echo"' || return
  step "It reads the device's state:"
  tell 4 '{"cmd":"getdevicestate","guid":"'"$guid"'"}'
  await controller '"event":"getdevicestate"' || return
  step "And sends a raw get line; the reply comes back as the text the device sent:"
  tell 4 '{"cmd":"raw","guid":"'"$guid"'","tag":"raw get","line":"get {\"path\":\"/audio/label\"}"}'
  await controller '"event":"raw"' '"tag":"raw get"' || return

  step "The controller sends a 20 MB file of random bytes to the device, block by block:"
  head -c 20M /dev/urandom >"$scratch/files/take-1.bin"
  from="$(lines controller)"
  tell 4 '{"cmd":"sendfile","guid":"'"$guid"'","tag":"put","local":"'"$scratch/files/take-1.bin"'","remote":"take-1.bin"}'
  progress controller "$from" '"event":"sendfile"' '"tag":"put"' || return
  await controller '"event":"sendfile"' '"success":true' '"tag":"put"' || return
  step "And fetches it back under another name:"
  from="$(lines controller)"
  tell 4 '{"cmd":"recvfile","guid":"'"$guid"'","tag":"get","local":"'"$scratch/files/take-1-back.bin"'","remote":"take-1.bin"}'
  progress controller "$from" '"event":"recvfile"' '"tag":"get"' || return
  await controller '"event":"recvfile"' '"success":true' '"tag":"get"' || return
  step "The MD5 of the original, of the device's copy and of the one fetched back:"
  (cd "$scratch" && md5sum files/take-1.bin device/node-files/take-1.bin files/take-1-back.bin)
  if [ "$(cd "$scratch" && md5sum files/take-1.bin device/node-files/take-1.bin files/take-1-back.bin |
    cut -d' ' -f1 | sort -u | wc -l)" -ne 1 ]; then
    echo "the copies differ" >&2
    return 1
  fi

  # The file-system words take their paths below the device's storage root, as transfers
  # do: "/" is the root itself.
  files="$scratch/device/node-files"
  step "The controller lists the device's storage folder:"
  tell 4 '{"cmd":"listfiles","guid":"'"$guid"'","path":"/"}'
  await controller '"event":"listfiles"' '"success":true' || return
  step "Makes a folder there and removes it again:"
  tell 4 '{"cmd":"mkdir","guid":"'"$guid"'","path":"session-2"}'
  await controller '"event":"mkdir"' '"success":true' || return
  if [ ! -d "$files/session-2" ]; then
    echo "no folder was made in the storage folder" >&2
    return 1
  fi
  tell 4 '{"cmd":"rmdir","guid":"'"$guid"'","path":"session-2"}'
  await controller '"event":"rmdir"' '"success":true' || return
  step "Deletes the file it sent:"
  tell 4 '{"cmd":"deletefile","guid":"'"$guid"'","path":"take-1.bin"}'
  await controller '"event":"deletefile"' '"success":true' || return
  if [ -e "$files/take-1.bin" ]; then
    echo "the file is still there" >&2
    return 1
  fi
  step "Asks for the free space there:"
  tell 4 '{"cmd":"freespace","guid":"'"$guid"'","path":"/"}'
  await controller '"event":"freespace"' || return
  step "And for a firmware update, which this device refuses:"
  tell 4 '{"cmd":"fwupdate","guid":"'"$guid"'","arguments":"image=amp-2.4.bin"}'
  await device '"event":"fwupdate"' || return
  await controller '"event":"fwupdate"' '"reply":true' || return
}
demo || status=1
step "Both stop:"
tell 4 '{"cmd":"stop"}'
exec 4>&-
await controller '"event":"stop"' || status=1
tell 3 '{"cmd":"stop"}'
exec 3>&-
wait
if [ "$status" -ne 0 ]; then
  tail -n 20 "$scratch/device.log" "$scratch/controller.log" >&2
fi
exit "$status"
