#!/usr/bin/env bash
# Builds a release build and runs the example programs of the moment: the tour of message
# lines and the parameter tree, one node started the way an application starts it,
# listening on loopback, then a device node and a controller node that find each other on
# loopback, connect and keep the connection alive, and last the same two over TLS: the
# controller proves the device's verification code and lists one of its folders.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

install_packages

build_dir="build/release"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_TESTS=OFF -DZELKOR_BUILD_BENCH=OFF
cmake --build "$build_dir" -j "$(build_jobs)" --target zelkor_demo zelkor_node
"$build_dir/examples/zelkor_demo" "$@"

# The node keeps its event log in its working folder, so it runs in a scratch folder.
# Events go to stdout, the log to stderr. The node serves 127.0.0.1:4197 with a certificate
# and key it generates itself, lists its end points when asked, and is then told to stop.
node="$PWD/$build_dir/examples/zelkor_node"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
echo
echo "One device node listening on loopback with generated TLS material:"
(sleep 1; echo '{"cmd":"getEndPoints"}'; sleep 1; echo '{"cmd":"stop"}') |
  (cd "$scratch" && "$node" --name demo-node --listen 127.0.0.1:4197)

# Two nodes on loopback finding and keeping each other, their discovery timers ten times
# faster (--timer-scale, a test seam) so that it takes seconds: the controller's broadcast
# to 127.255.255.255 reaches the device, which answers on the controller's reply port (its
# own port on this host); the controller lists the device "New", connects it on command,
# and its keep-alives are answered ("alive"). Both are then told to stop. Every wait is
# bounded, and `timeout` ends a node that would not stop.
echo
echo "A device node and a controller node on loopback, up to Connected and keep-alives:"
mkdir -p "$scratch/device" "$scratch/controller"
mkfifo "$scratch/device.in" "$scratch/controller.in"
(cd "$scratch/device" &&
  timeout 60 "$node" --name demo-device --listen 127.0.0.1:4197 --timer-scale 10 \
    <"$scratch/device.in" 2>"$scratch/device.log" | tee "$scratch/device.out" | sed -u 's/^/[device]     /') &
exec 3>"$scratch/device.in"
(cd "$scratch/controller" &&
  timeout 60 "$node" --role controller --name demo-controller --listen 127.0.0.1:4198 --reply-port 4198 \
    --timer-scale 10 <"$scratch/controller.in" 2>"$scratch/controller.log" |
    tee "$scratch/controller.out" | sed -u 's/^/[controller] /') &
exec 4>"$scratch/controller.in"

# Waits up to 20 seconds for a line of the file that matches the extended expression.
await_line() {
  local tries=0
  until grep -qE -- "$2" "$1" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ]; then
      echo "no line matching $2 in $(basename "$1") within 20 s" >&2
      return 1
    fi
    sleep 0.1
  done
}
# A node that has gone makes the write fail, not the script.
trap '' PIPE
tell() { echo "$2" >&"$1" 2>/dev/null || true; }

status=0
if await_line "$scratch/controller.out" '"name":"demo-device".*"state":"New"'; then
  tell 4 '{"cmd":"connect","address":"127.0.0.1","port":4197}'
  await_line "$scratch/controller.out" '"name":"demo-device".*"state":"Connected"' &&
    await_line "$scratch/controller.out" '"answered":2,' || status=1
else
  status=1
fi
tell 4 '{"cmd":"stop"}'
exec 4>&-
await_line "$scratch/controller.out" '"event":"stop"' || status=1
tell 3 '{"cmd":"stop"}'
exec 3>&-
wait
if [ "$status" -ne 0 ]; then
  tail -n 20 "$scratch/device.log" "$scratch/controller.log" >&2
  exit "$status"
fi

# The device holds a verification code (--code) and serves TLS (--tls-level 1); the
# controller asks for TLS on the connection it makes and proves the same code. Its
# "security" line shows the connection secured and authenticated (with the prefix's key
# digest: "kasdor"); it then lists the device's "/configuration/device" folder ("ls").
echo
echo "The same two over TLS: the controller proves the device's code, then lists a folder:"
guid="5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13"
mkdir -p "$scratch/secure-device" "$scratch/secure-controller"
mkfifo "$scratch/secure-device.in" "$scratch/secure-controller.in"
(cd "$scratch/secure-device" &&
  timeout 60 "$node" --name demo-device --guid "$guid" --listen 127.0.0.1:4197 --tls-level 1 --code demo-code \
    --timer-scale 10 <"$scratch/secure-device.in" 2>"$scratch/secure-device.log" |
    tee "$scratch/secure-device.out" | sed -u 's/^/[device]     /') &
exec 5>"$scratch/secure-device.in"
(cd "$scratch/secure-controller" &&
  timeout 60 "$node" --role controller --name demo-controller --listen 127.0.0.1:4198 --reply-port 4198 \
    --tls-level 1 --code demo-code --timer-scale 10 <"$scratch/secure-controller.in" \
    2>"$scratch/secure-controller.log" | tee "$scratch/secure-controller.out" | sed -u 's/^/[controller] /') &
exec 6>"$scratch/secure-controller.in"

if await_line "$scratch/secure-device.out" '"event":"listenerAdded"'; then
  tell 6 '{"cmd":"connect","address":"127.0.0.1","port":4197}'
  if await_line "$scratch/secure-controller.out" \
    '"authenticated":true,"event":"security","guid":"'"$guid"'".*"secured":true'; then
    tell 6 '{"cmd":"ls","guid":"'"$guid"'","path":"/configuration/device"}'
    await_line "$scratch/secure-controller.out" '"event":"ls"' || status=1
  else
    status=1
  fi
else
  status=1
fi
tell 6 '{"cmd":"stop"}'
exec 6>&-
await_line "$scratch/secure-controller.out" '"event":"stop"' || status=1
tell 5 '{"cmd":"stop"}'
exec 5>&-
wait
if [ "$status" -ne 0 ]; then
  tail -n 20 "$scratch/secure-device.log" "$scratch/secure-controller.log" >&2
fi
exit "$status"
