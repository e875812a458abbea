# Shell helpers for the demo and the benchmarks: nginx serving a folder on a free 127.0.0.1 port.
# Usage: serve_dir ROOT WORKDIR  -> sets SERVE_PORT and SERVE_PID; stop_serving ends it.

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Prints the nginx program (not on a user's PATH in Debian); fails with the package to install.
find_nginx() {
  command -v nginx || ls /usr/sbin/nginx 2>/dev/null || { echo "nginx is not installed: install the package nginx" >&2; return 1; }
}

serve_dir() {
  local root=$1 work=$2
  local nginx
  nginx=$(find_nginx) || return 1
  SERVE_PORT=$(free_port)
  mkdir -p "$work/tmp"
  cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 256; }
http {
  access_log $work/access.log;
  sendfile on;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  server { listen 127.0.0.1:$SERVE_PORT; root $root; }
}
CONF
  "$nginx" -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log" &
  SERVE_PID=$!
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1',$SERVE_PORT),0.2)" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nginx did not start: $(cat "$work/nginx-error.log" 2>/dev/null)" >&2
  return 1
}

stop_serving() {
  if [ -n "${SERVE_PID:-}" ]; then
    kill "$SERVE_PID" 2>/dev/null || true
    wait "$SERVE_PID" 2>/dev/null || true
    SERVE_PID=""
  fi
}
