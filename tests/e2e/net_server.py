#!/usr/bin/env python3
"""Servers for the network transfer test, on 127.0.0.1 at free ports.

Usage: net_server.py FTP_ROOT [CERT KEY]
Prints "http PORT", with CERT and KEY (PEM files) "https PORT" for the same
pages over TLS, and "ftp PORT" (anonymous, may write in FTP_ROOT), then
serves until killed.
"""
import http.server
import ssl
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

uploaded = b""


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, code, body, length=None, headers=()):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def do_GET(self):
        p = self.path
        if p == "/ok":
            self.reply(200, b"hello, network")
        elif p == "/redirect":
            self.reply(302, b"", headers=[("Location", "/ok")])
        elif p == "/tofile":
            self.reply(302, b"", headers=[("Location", "file:///etc/hostname")])
        elif p == "/truncated":
            self.reply(200, b"0123456789", length=1000)
            self.close_connection = True
        elif p == "/slow":
            self.reply(200, b"slow", length=100)
            time.sleep(30)
            self.close_connection = True
        elif p == "/dribble":
            # 100 bytes in ten blocks over about a second.
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            for i in range(10):
                self.wfile.write(str(i).encode() * 10)
                self.wfile.flush()
                time.sleep(0.1)
        elif p == "/huge":
            self.reply(200, b"x" * 1024, length=10 << 30)
            self.close_connection = True
        elif p == "/endless":
            # No length: the body runs until the client gives up.
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            block = b"y" * (1 << 20)
            try:
                while True:
                    self.wfile.write(block)
            except OSError:
                pass
            self.close_connection = True
        elif p == "/uploaded":
            self.reply(200, uploaded)
        else:
            self.reply(404, b"no such page")

    def body(self):
        return self.rfile.read(int(self.headers.get("Content-Length", "0")))

    def do_PUT(self):
        global uploaded
        uploaded = self.body()
        self.reply(201, b"stored")

    def do_POST(self):
        data = self.body()
        self.reply(200, b"posted " + data + b" as " + self.headers.get("Content-Type", "").encode())


def main():
    web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    web.daemon_threads = True
    threading.Thread(target=web.serve_forever, daemon=True).start()
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(sys.argv[1], perm="elradfmw")
    FTPHandler.authorizer = authorizer
    ftp = FTPServer(("127.0.0.1", 0), FTPHandler)
    print("http", web.server_address[1])
    if len(sys.argv) > 3:
        tls = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        tls.daemon_threads = True
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        tls.socket = context.wrap_socket(tls.socket, server_side=True)
        threading.Thread(target=tls.serve_forever, daemon=True).start()
        print("https", tls.server_address[1])
    print("ftp", ftp.address[1], flush=True)
    ftp.serve_forever()


if __name__ == "__main__":
    main()
