#!/usr/bin/env python3
"""HTTP/2 over TLS, files below ROOT, FAULT breaking the answers for names that begin with PREFIX.
Usage: h2_fault_server.py ROOT FAULT PREFIX PORT CERT KEY"""
import os, socket, ssl, sys, threading, time
import h2.config, h2.connection, h2.errors, h2.events, h2.settings

root, fault, prefix, port, cert, key = sys.argv[1:]
count, lock = [0], threading.Lock()  # connections that completed a handshake


def answer(conn, stream, path, first, pending):
    hostile = os.path.basename(path).startswith(prefix)
    try:
        body = open(root + path, "rb").read()
    except OSError:
        return conn.send_headers(stream, [(":status", "404"), ("content-length", "0")], end_stream=True)
    if hostile and fault == "goaway" and first:  # that stream left above the last
        return conn.close_connection(last_stream_id=stream - 2)
    if hostile and fault == "rst_stream":
        return conn.reset_stream(stream, h2.errors.ErrorCodes.INTERNAL_ERROR)
    if hostile and fault == "header_bomb":  # small once HPACK has it, huge decoded
        return conn.send_headers(stream, [(":status", "200")] + [("x-bomb", "b" * 4000)] * 100)
    conn.send_headers(stream, [(":status", "200"), ("content-length", str(len(body)))])
    if not hostile or fault not in ("zero_window", "stall"):  # a head and nothing, or half the body
        pending[stream] = (body, True)
    elif fault == "stall":
        pending[stream] = (body[: len(body) // 2], False)


def serve(raw):
    # Each handshake in its own thread: a client that never sends one (the harness's probe of the
    # port) holds up no other.
    try:
        sock = context.wrap_socket(raw, server_side=True)
    except (OSError, ssl.SSLError):
        return raw.close()
    with lock:
        count[0] += 1
        first = count[0] == 1
    if fault == "garbage":
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")
        return time.sleep(1), sock.close()
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    conn.initiate_connection()
    if fault == "zero_window":
        conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 0})
    sock.sendall(conn.data_to_send())
    pending = {}  # stream: (what is still to be sent, whether it ends the stream)
    while conn.state_machine.state != h2.connection.ConnectionState.CLOSED:
        data = sock.recv(65536)
        if not data:
            break
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                answer(conn, event.stream_id, dict(event.headers)[":path"], first, pending)
        for stream, (rest, ends) in list(pending.items()):
            while True:  # as far as the windows let it
                n = min(conn.local_flow_control_window(stream), conn.max_outbound_frame_size, len(rest))
                if rest and not n:
                    break
                conn.send_data(stream, rest[:n], end_stream=ends and n == len(rest))
                rest = rest[n:]
                if not rest:
                    break
            pending[stream] = (rest, ends)
            if not rest:
                del pending[stream]
        sock.sendall(conn.data_to_send())
    time.sleep(0.2)
    sock.close()


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
context.set_alpn_protocols(["h2"])
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", int(port)))
listener.listen(16)
while True:
    threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()
