#!/usr/bin/env python3
"""An HTTP proxy between the agent and an S3 server that spoils chosen
requests, for the end-to-end tests of a store in object storage.

  s3_fault_proxy.py UPSTREAM PORTFILE RULE...

UPSTREAM is http://host:port. The proxy listens on a free port of
127.0.0.1 and writes it to PORTFILE. Each RULE is METHOD:MATCH:NTH:ACTION:
the NTH request (from 1; "*" for every one) whose method is METHOD and
whose target contains MATCH gets ACTION instead of the server's answer:
  503        a 503 SlowDown error
  reset      the connection is closed without an answer
  truncate   the server's answer, its body cut to half
  stall      nothing, until the client goes away
Requests are forwarded unchanged (Host included, so signatures hold), each
on a connection of its own to the server. Every request is logged to
stderr as "METHOD TARGET -> what was done" ("forwarded, N bytes" with the
length of the body the server answered).

An outage, switched by a file: while the file that $S3_FAULT_OUTAGE names
exists, every request, whatever the rules say, is answered with a 503
SlowDown or, with $S3_FAULT_OUTAGE_ACTION=stall, gets nothing until the
client goes away or the file is removed (then it is forwarded). Such a
request is logged as "METHOD TARGET -> outage 503" or "-> outage stall", a
stall's end as "-> outage stall ended: client gone after S s" or "-> outage
stall ended after S s, forwarding". Without the file, requests go by the
rules.
"""

import http.client
import os
import select
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

upstream = urllib.parse.urlsplit(sys.argv[1])
rules = []
for text in sys.argv[3:]:
    method, match, nth, action = text.split(":")
    rules.append({"method": method, "match": match, "nth": nth, "action": action, "seen": 0})
lock = threading.Lock()
outage_file = os.environ.get("S3_FAULT_OUTAGE", "")
outage_action = os.environ.get("S3_FAULT_OUTAGE_ACTION", "503")
if outage_action not in ("503", "stall"):
    sys.exit(f"s3_fault_proxy.py: S3_FAULT_OUTAGE_ACTION is 503 or stall, not {outage_action!r}")


def in_outage():
    return bool(outage_file) and os.path.exists(outage_file)


def client_gone(connection):
    """True once the client closed its end (what it may still send is left unread)."""
    readable, _, _ = select.select([connection], [], [], 0.1)
    if not readable:
        return False
    try:
        return connection.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


def decide(method, target):
    with lock:
        for rule in rules:
            if rule["method"] == method and rule["match"] in target:
                rule["seen"] += 1
                if rule["nth"] == "*" or int(rule["nth"]) == rule["seen"]:
                    return rule["action"]
    return None


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        while True:
            line = self.rfile.readline()
            if not line:
                return
            method, target, _ = line.decode("latin-1").split(" ", 2)
            headers = []
            length = 0
            while True:
                header = self.rfile.readline().decode("latin-1")
                if header in ("\r\n", "\n", ""):
                    break
                name, value = header.split(":", 1)
                headers.append((name.strip(), value.strip()))
                if name.strip().lower() == "content-length":
                    length = int(value)
            body = self.rfile.read(length) if length else b""
            action = None
            if in_outage():
                print(f"{method} {target} -> outage {outage_action}", file=sys.stderr, flush=True)
                if outage_action == "stall":
                    started = time.monotonic()
                    while in_outage():
                        if client_gone(self.connection):
                            print(f"{method} {target} -> outage stall ended: client gone after "
                                  f"{time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
                            return
                        time.sleep(0.05)
                    print(f"{method} {target} -> outage stall ended after {time.monotonic() - started:.1f} s, "
                          "forwarding", file=sys.stderr, flush=True)
                else:
                    action = "503"
            else:
                action = decide(method, target)
                if action:
                    print(f"{method} {target} -> {action}", file=sys.stderr, flush=True)
            if action == "reset":
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                return
            if action == "stall":
                while self.connection.recv(1):
                    pass
                return
            if action == "503":
                error = (b"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>SlowDown</Code>"
                         b"<Message>injected</Message></Error>")
                self.wfile.write(b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/xml\r\n"
                                 b"Content-Length: " + str(len(error)).encode() + b"\r\n\r\n" + error)
                continue
            server = http.client.HTTPConnection(upstream.hostname, upstream.port, timeout=60)
            server.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
            for name, value in headers:
                server.putheader(name, value)
            server.endheaders(body)
            answer = server.getresponse()
            data = answer.read()
            if not action:
                print(f"{method} {target} -> forwarded, {len(data)} bytes", file=sys.stderr, flush=True)
            out = [f"HTTP/1.1 {answer.status} {answer.reason}\r\n".encode()]
            for name, value in answer.getheaders():
                if name.lower() in ("transfer-encoding", "connection", "content-length"):
                    continue
                out.append(f"{name}: {value}\r\n".encode())
            declared = len(data)
            if method == "HEAD":
                declared = int(answer.getheader("Content-Length") or 0)
            out.append(f"Content-Length: {declared}\r\n\r\n".encode())
            if action == "truncate":
                self.wfile.write(b"".join(out) + data[: len(data) // 2])
                self.wfile.flush()
                time.sleep(0.2)
                return
            self.wfile.write(b"".join(out) + (b"" if method == "HEAD" else data))
            server.close()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


with Server(("127.0.0.1", 0), Handler) as proxy:
    with open(sys.argv[2] + ".new", "w") as portfile:
        portfile.write(str(proxy.server_address[1]))
    os.rename(sys.argv[2] + ".new", sys.argv[2])
    proxy.serve_forever()
