# Sourced by the scripts that start programs in the background: each child is
# ended by its own process id, never by name.

alive() { kill -0 "$1" 2>/dev/null; }

# Ends one of our children: SIGTERM, then SIGKILL after 5 s.
stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
  for _ in $(seq 50); do
    alive "$pid" || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
