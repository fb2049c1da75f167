#!/usr/bin/python3
"""A local HTTPS server for the update check's tests.

Makes two certificate authorities in FOLDER with the openssl tool (ca.pem,
the one the tests trust, and other-ca.pem), then serves on 127.0.0.1 with a
certificate of each (ephemeral ports) and prints one line
"ports trusted=N other=M" when it is ready. Paths:

  /release.json          the bytes of FOLDER/release.json (changed by tests between runs)
  /newer/release.json    a newer version ("0.2")
  /same/release.json     "0.1.14", with a BOM and a nested "version" that is newer
  /invalid/release.json  a version with five components
  /redirect/release.json 302 to /newer/release.json
  /big/release.json      a body of 70,000 bytes
  /slow/release.json     prints "slow request" and never answers
  anything else          404

Every request is also printed as "GET <path>".
"""
import http.server
import os
import ssl
import subprocess
import sys
import threading
import time


def run(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_ca(folder, name):
    key, pem = os.path.join(folder, name + "-key.pem"), os.path.join(folder, name + ".pem")
    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
        "-subj", "/CN=" + name, "-keyout", key, "-out", pem)
    return key, pem


def make_server_cert(folder, name, ca_key, ca_pem):
    key, csr, pem = (os.path.join(folder, name + suffix) for suffix in ("-key.pem", ".csr", ".pem"))
    ext = os.path.join(folder, name + ".ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=127.0.0.1",
        "-keyout", key, "-out", csr)
    run("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial", "-days", "2",
        "-extfile", ext, "-out", pem)
    return pem, key


FIXED = {
    "/newer/release.json": b'{"version": "0.2", "notes": "x"}',
    "/same/release.json": b'\xef\xbb\xbf{"info": {"version": "9.9"}, "text": "\\"version\\": \\"9.9\\"", '
                          b'"version": " 0.1.14 "}',
    "/invalid/release.json": b'{"version": "0.1.14.0.1"}',
    "/big/release.json": b'{"version": "0.2", "pad": "' + b"x" * 70000 + b'"}',
}


class Handler(http.server.BaseHTTPRequestHandler):
    folder = "."

    def log_message(self, *args):
        pass

    def answer(self, code, body=b"", headers=()):
        self.send_response(code)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        print("GET " + self.path, flush=True)
        if self.path == "/release.json":
            try:
                with open(os.path.join(self.folder, "release.json"), "rb") as f:
                    self.answer(200, f.read())
            except OSError:
                self.answer(404)
        elif self.path in FIXED:
            self.answer(200, FIXED[self.path])
        elif self.path == "/redirect/release.json":
            self.answer(302, b"moved", [("Location", "/newer/release.json")])
        elif self.path == "/slow/release.json":
            print("slow request", flush=True)
            time.sleep(3600)
        else:
            self.answer(404)


def serve(cert, key):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def main():
    folder = sys.argv[1]
    Handler.folder = folder
    ca_key, ca_pem = make_ca(folder, "ca")
    other_key, other_pem = make_ca(folder, "other-ca")
    trusted = serve(*make_server_cert(folder, "trusted", ca_key, ca_pem))
    other = serve(*make_server_cert(folder, "other", other_key, other_pem))
    print("ports trusted=%d other=%d" % (trusted, other), flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
