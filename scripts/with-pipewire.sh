#!/usr/bin/env bash
# with-pipewire.sh CMD [ARGS...]
# Runs CMD against a private PipeWire: a pipewire daemon and wireplumber of its own, on a
# session bus of its own (dbus-run-session), with a private XDG_RUNTIME_DIR, so nothing
# touches a desktop session the machine may have. CMD sees PIPEWIRE_RUNTIME_DIR and
# XDG_RUNTIME_DIR pointing at the private daemon; when it ends, the daemons are stopped and
# the folder removed. Exits with CMD's status, or 125 when PipeWire could not be started.
set -uo pipefail

if [ $# -eq 0 ]; then
  echo "usage: with-pipewire.sh CMD [ARGS...]" >&2
  exit 2
fi

if [ -z "${AMBERLINE_IN_PRIVATE_BUS:-}" ]; then
  for tool in pipewire wireplumber dbus-run-session pw-cli; do
    if ! command -v "$tool" >/dev/null; then
      echo "with-pipewire: $tool is not installed (scripts/bootstrap.sh installs it)" >&2
      exit 125
    fi
  done
  export AMBERLINE_IN_PRIVATE_BUS=1
  # A bus daemon that may not raise its descriptor limit (a container) says so at every
  # start; that line is noise here, everything else on standard error passes through.
  exec dbus-run-session -- "$0" "$@" 2> >(grep -v --line-buffered 'Failed to set fd limit' >&2)
fi
unset AMBERLINE_IN_PRIVATE_BUS

runtime=$(mktemp -d "${TMPDIR:-/tmp}/amberline-pipewire.XXXXXX") || exit 125
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime" PIPEWIRE_RUNTIME_DIR="$runtime"
# No desktop session's configuration or state: the daemons read only the system defaults
# (CMD keeps the caller's folders).
daemon_env=(env XDG_CONFIG_HOME="$runtime/config" XDG_STATE_HOME="$runtime/state")
unset PIPEWIRE_REMOTE
# A root container has no real-time scheduling to give; say so instead of failing.
export PIPEWIRE_LOG_SYSTEMD=false DISABLE_RTKIT=1

daemon_log="$runtime/daemons.log"
"${daemon_env[@]}" pipewire >>"$daemon_log" 2>&1 &
pw_pid=$!
wp_pid=""

stop_daemons() {
  [ -n "$wp_pid" ] && kill -TERM "$wp_pid" 2>/dev/null
  kill -TERM "$pw_pid" 2>/dev/null
  # Bounded: a daemon that does not leave within 5 s is killed.
  for _ in $(seq 50); do
    kill -0 "$pw_pid" 2>/dev/null || { [ -n "$wp_pid" ] && kill -0 "$wp_pid" 2>/dev/null; } || break
    sleep 0.1
  done
  [ -n "$wp_pid" ] && kill -KILL "$wp_pid" 2>/dev/null
  kill -KILL "$pw_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$runtime"
}
trap stop_daemons EXIT
trap 'exit 143' TERM INT

# The daemon is ready when its socket answers.
ready=""
for _ in $(seq 100); do
  if [ -S "$runtime/pipewire-0" ] && pw-cli info 0 >/dev/null 2>&1; then ready=1; break; fi
  kill -0 "$pw_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$ready" ]; then
  echo "with-pipewire: the private pipewire daemon did not start; its log:" >&2
  sed 's/^/  /' "$daemon_log" >&2
  exit 125
fi

"${daemon_env[@]}" wireplumber >>"$daemon_log" 2>&1 &
wp_pid=$!
# The session manager is ready when it shows up as a client of the daemon.
for _ in $(seq 100); do
  if pw-cli ls Client 2>/dev/null | grep -q 'application.name = "WirePlumber"'; then break; fi
  kill -0 "$wp_pid" 2>/dev/null || { echo "with-pipewire: wireplumber ended; its log:" >&2; sed 's/^/  /' "$daemon_log" >&2; exit 125; }
  sleep 0.1
done

export AMBERLINE_PIPEWIRE_LOG="$daemon_log"
"$@"
status=$?
exit "$status"
