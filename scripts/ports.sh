# Ports on 127.0.0.1, for the scripts that start servers of their own (sourced, not run).

# True when something accepts connections on the port.
is_listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A port nobody listens on now; a caller that loses it to another server meanwhile tries again.
pick_port() {
  if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
    return
  fi
  local port
  while true; do
    port=$((20000 + RANDOM % 40000))
    if ! is_listening "$port"; then
      echo "$port"
      return
    fi
  done
}
