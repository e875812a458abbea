#!/usr/bin/env python3
"""A hostile HTTP/2 server on 127.0.0.1:PORT (TLS, h2 chosen by ALPN): serves the files below ROOT
and breaks the answers for files whose names begin with PREFIX as FAULT says: goaway (on the first
connection, a GOAWAY leaving that request above its last stream), rst_stream, zero_window (a head,
then nothing), header_bomb (a head that HPACK shrinks and decoding blows up), stall (half the body,
then nothing), garbage (HTTP/1.1 bytes after ALPN chose h2).
Usage: h2_fault_server.py ROOT FAULT PREFIX PORT CERT KEY"""
import os, socket, ssl, sys, threading, time
import h2.config, h2.connection, h2.errors, h2.events, h2.settings

root, fault, prefix, port, cert, key = sys.argv[1:3] + [sys.argv[3], int(sys.argv[4])] + sys.argv[5:7]
count, lock = [0], threading.Lock()  # connections that completed a handshake


def answer(conn, stream, path, first, pending):
    name = os.path.basename(path)
    hostile = name.startswith(prefix)
    try:
        body = open(os.path.join(root, path.lstrip("/")), "rb").read()
    except OSError:
        return conn.send_headers(stream, [(":status", "404"), ("content-length", "0")], end_stream=True)
    if hostile and fault == "goaway" and first:
        return conn.close_connection(last_stream_id=stream - 2)
    if hostile and fault == "rst_stream":
        return conn.reset_stream(stream, h2.errors.ErrorCodes.INTERNAL_ERROR)
    if hostile and fault == "header_bomb":
        return conn.send_headers(stream, [(":status", "200")] + [("x-bomb", "b" * 4000)] * 100)
    conn.send_headers(stream, [(":status", "200"), ("content-length", str(len(body)))])
    if hostile and fault == "zero_window":
        return
    if hostile and fault == "stall":
        stalled.add(stream)
    pending[stream] = body[: len(body) // 2] if stream in stalled else body


def flush(conn, pending):
    for stream in list(pending):
        while pending[stream]:
            n = min(conn.local_flow_control_window(stream), conn.max_outbound_frame_size, len(pending[stream]))
            if n <= 0:
                break
            conn.send_data(stream, pending[stream][:n], end_stream=n == len(pending[stream]) and stream not in stalled)
            pending[stream] = pending[stream][n:]
        if not pending[stream]:
            del pending[stream]


stalled = set()


def serve(raw):
    # The handshake in the connection's own thread: a client that never sends one (the harness's
    # probe of the port) holds up no other.
    try:
        sock = context.wrap_socket(raw, server_side=True)
    except (OSError, ssl.SSLError):
        return raw.close()
    with lock:
        count[0] += 1
        first = count[0] == 1
    if fault == "garbage":
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")
        time.sleep(1)
        return sock.close()
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    conn.initiate_connection()
    if fault == "zero_window":
        conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 0})
    sock.sendall(conn.data_to_send())
    pending = {}
    while True:
        data = sock.recv(65536)
        if not data:
            break
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                answer(conn, event.stream_id, dict(event.headers)[":path"], first, pending)
        flush(conn, pending)
        sock.sendall(conn.data_to_send())
        if conn.state_machine.state == h2.connection.ConnectionState.CLOSED:
            time.sleep(0.2)
            break
    sock.close()


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
context.set_alpn_protocols(["h2"])
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(16)
while True:
    raw, _ = listener.accept()
    threading.Thread(target=serve, args=(raw,), daemon=True).start()
