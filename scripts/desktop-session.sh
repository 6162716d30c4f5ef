#!/usr/bin/env bash
# Runs one command inside a private desktop session and tears the session down afterwards.
#
#   scripts/desktop-session.sh [--screen WIDTHxHEIGHT] [--window-manager NAME] -- command [args...]
#
# The session: Xvfb on a free display, a private session D-Bus, the accessibility bus of
# at-spi2-core with accessibility enabled, and a window manager: openbox unless --window-manager
# (or QOR_WINDOW_MANAGER) names xfwm4, mutter, i3 or none. The command sees DISPLAY,
# DBUS_SESSION_BUS_ADDRESS and XDG_RUNTIME_DIR of that session, QOR_WINDOW_MANAGER naming the
# manager that runs and QOR_WINDOW_MANAGER_PID its process, and keeps this script's
# standard input, output and error. The script exits with the command's status, or 125 when the
# session could not be started. Everything started inside the session carries the variable
# QOR_DESKTOP_SESSION with a value of its own; at the end every such process is stopped, so
# nothing is left behind, even processes that detached themselves.

set -u

screen_size=1280x1024
window_manager=${QOR_WINDOW_MANAGER:-openbox}
usage="usage: $0 [--screen WIDTHxHEIGHT] [--window-manager openbox|xfwm4|mutter|i3|none] -- command [arguments...]"
while (($#)); do
  case "$1" in
    --screen)
      screen_size=${2:?--screen needs WIDTHxHEIGHT}
      shift 2
      ;;
    --window-manager)
      window_manager=${2:?--window-manager needs a name}
      shift 2
      ;;
    --)
      shift
      break
      ;;
    *)
      echo "$usage" >&2
      exit 125
      ;;
  esac
done
case "$window_manager" in
  openbox | xfwm4 | mutter | i3 | none) ;;
  *)
    echo "$usage" >&2
    exit 125
    ;;
esac
if (($# == 0)); then
  echo "$usage" >&2
  exit 125
fi

workdir=$(mktemp -d "${TMPDIR:-/tmp}/qor-session.XXXXXX") || exit 125
chmod 700 "$workdir"
marker="qor-$$-$(date +%s%N)"
command_pid=""

# The marker reaches every process of the session through its environment, including those
# started by the bus daemons, which inherit the daemon's environment.
export QOR_DESKTOP_SESSION=$marker
export XDG_RUNTIME_DIR=$workdir
export GSETTINGS_BACKEND=memory
export GDK_BACKEND=x11
export XDG_SESSION_TYPE=x11
export QOR_WINDOW_MANAGER=$window_manager
unset NO_AT_BRIDGE GTK_A11Y GTK_MODULES WAYLAND_DISPLAY AT_SPI_BUS_ADDRESS DBUS_SESSION_BUS_PID

session_pids() {
  grep -lzx "QOR_DESKTOP_SESSION=$marker" /proc/[0-9]*/environ 2>/dev/null |
    sed -e 's|^/proc/||' -e 's|/environ$||' | grep -vx -e "$$" -e "${BASHPID:-$$}" |
    while read -r pid; do any_alive "$pid" && echo "$pid"; done
}

# Alive means running: a zombie whose parent has not reaped it yet no longer counts.
any_alive() {
  local pid state
  for pid in "$@"; do
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || continue
    if [[ -n "$state" && "$state" != Z ]]; then
      return 0
    fi
  done
  return 1
}

# Stops every process of the session: politely first, then by force after two seconds.
teardown() {
  trap - EXIT INT TERM HUP
  if [[ -n "$command_pid" ]] && kill -0 "$command_pid" 2>/dev/null; then
    kill -TERM "$command_pid" 2>/dev/null
  fi
  local pids attempt
  pids=$(session_pids)
  if [[ -n "$pids" ]]; then
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null
    for attempt in $(seq 40); do
      # shellcheck disable=SC2086
      any_alive $pids || break
      sleep 0.05
    done
    pids=$(session_pids)
    # shellcheck disable=SC2086
    [[ -n "$pids" ]] && kill -KILL $pids 2>/dev/null
  fi
  rm -rf "$workdir"
}

fail() {
  echo "desktop-session: $1" >&2
  local log
  for log in "$workdir"/*.log; do
    [[ -s "$log" ]] && { echo "--- $(basename "$log")" >&2; tail -n 20 "$log" >&2; }
  done
  teardown
  exit 125
}

# Waits up to five seconds for a check to succeed.
wait_for() {
  local attempt
  for attempt in $(seq 250); do
    if "$@" >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.02
  done
  return 1
}

trap 'teardown; exit 129' HUP
trap 'teardown; exit 130' INT
trap 'teardown; exit 143' TERM
trap 'teardown' EXIT

# X server: -displayfd makes it choose a free display and write its number once it accepts
# connections.
Xvfb -displayfd 3 -screen 0 "${screen_size}x24" -nolisten tcp -noreset \
  3>"$workdir/display" </dev/null >"$workdir/xvfb.log" 2>&1 &
xvfb_pid=$!
display_written() { [[ -s "$workdir/display" ]] && kill -0 "$xvfb_pid"; }
wait_for display_written || fail "Xvfb did not start"
export DISPLAY=":$(head -n 1 "$workdir/display")"

# Session bus on a private socket.
{ read -r bus_address && read -r _; } < <(dbus-daemon --config-file=/usr/share/dbus-1/session.conf \
  --address="unix:path=$workdir/session-bus" --fork --print-address=1 --print-pid=1 \
  </dev/null 2>"$workdir/dbus.log")
[[ -n "${bus_address:-}" ]] || fail "the session bus did not start"
export DBUS_SESSION_BUS_ADDRESS=$bus_address

# Accessibility bus, enabled from the start; the registry daemon is started on it right away so
# that applications register at once.
/usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 \
  </dev/null >"$workdir/at-spi.log" 2>&1 &
a11y_bus_owned() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus | grep -q 'boolean true'
}
wait_for a11y_bus_owned || fail "the accessibility bus did not start"
a11y_address=$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
  org.a11y.Bus.GetAddress 2>>"$workdir/at-spi.log" | tr -d ' ')
[[ -n "$a11y_address" ]] || fail "the accessibility bus has no address"
dbus-send --session --dest=org.a11y.Bus --type=method_call /org/a11y/bus \
  org.freedesktop.DBus.Properties.Set string:org.a11y.Status string:IsEnabled variant:boolean:true \
  2>>"$workdir/at-spi.log" || fail "accessibility could not be enabled"
registry_answers() {
  dbus-send --bus="$a11y_address" --print-reply --dest=org.a11y.atspi.Registry \
    /org/a11y/atspi/accessible/root org.a11y.atspi.Accessible.GetChildren
}
wait_for registry_answers || fail "the accessibility registry did not start"

# Window manager; ready once it has announced itself on the root window. Each runs without its
# session management, compositing and panels, with nothing of the user's configuration.
start_window_manager() {
  case "$window_manager" in
    openbox) exec openbox --sm-disable ;;
    xfwm4) exec xfwm4 --compositor=off --sm-client-disable ;;
    mutter) exec mutter --x11 --replace --sm-disable ;;
    i3) exec i3 -c "$workdir/i3.config" ;;
  esac
}
# i3's smallest configuration: tiling as it comes, without a bar or key bindings.
echo 'font pango:monospace 8' >"$workdir/i3.config"
if [[ "$window_manager" != none ]]; then
  XDG_CONFIG_HOME="$workdir/config" start_window_manager </dev/null \
    >"$workdir/$window_manager.log" 2>&1 &
  export QOR_WINDOW_MANAGER_PID=$!
  wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
  wait_for wm_ready || fail "$window_manager did not start"
fi

# The command keeps this script's standard input (an explicit redirection, since background
# commands otherwise read from /dev/null) and runs in the background so that signals reach the
# traps above at once.
"$@" <&0 &
command_pid=$!
wait "$command_pid"
status=$?
command_pid=""
teardown
exit "$status"
