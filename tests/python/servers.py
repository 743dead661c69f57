"""Servers on 127.0.0.1 for the remote-source tests and the benchmark: an S3 server (moto) and a
static HTTP server that honours Range and counts its requests. Each runs in a process of its
own, on a free port, and ends when its standard input closes, so that it never outlives the
process that started it.

    python servers.py s3            # prints the port, serves until stdin closes
    python servers.py http ROOT [N] # the files under ROOT, likewise; N: HEAD tells each
                                    # file's size N bytes short, as a faulty server might
"""
from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import urllib.request
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Dict, List, Optional

HOST = "127.0.0.1"
LOG_PATH = "/_requests"  # GET: the requests served since the last such GET, as JSON
S3_KEY = "testing"
# Whatever an AWS client would otherwise reach beyond this machine: credentials from files or
# the instance metadata service, proxies.
S3_ENV = {
    "AWS_ACCESS_KEY_ID": S3_KEY, "AWS_SECRET_ACCESS_KEY": S3_KEY, "AWS_DEFAULT_REGION": "us-east-1",
    "AWS_EC2_METADATA_DISABLED": "true", "AWS_CONFIG_FILE": os.devnull,
    "AWS_SHARED_CREDENTIALS_FILE": os.devnull, "NO_PROXY": "*", "no_proxy": "*",
}
S3_UNSET = ("AWS_SESSION_TOKEN", "AWS_PROFILE", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
            "http_proxy", "https_proxy", "all_proxy")
_RANGE = re.compile(r"bytes=(\d*)-(\d*)$")


class RangeHandler(BaseHTTPRequestHandler):
    """GET and HEAD of the files under the server's root, with one byte range per request."""

    protocol_version = "HTTP/1.1"  # connections kept alive, as clients expect of real servers

    def do_HEAD(self) -> None:
        self._serve(body=False)

    def do_GET(self) -> None:
        if self.path == LOG_PATH:
            self._send_log()
        else:
            self._serve(body=True)

    def log_message(self, format: str, *args: object) -> None:
        pass

    def _send_log(self) -> None:
        with self.server.lock:  # type: ignore[attr-defined]
            entries, self.server.log[:] = list(self.server.log), []  # type: ignore[attr-defined]
        body = json.dumps(entries).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _serve(self, body: bool) -> None:
        wanted = self.headers.get("Range")
        with self.server.lock:  # type: ignore[attr-defined]
            self.server.log.append([self.command, self.path, wanted])  # type: ignore[attr-defined]
        root: Path = self.server.root  # type: ignore[attr-defined]
        path = (root / self.path.split("?", 1)[0].lstrip("/")).resolve()
        if root not in path.parents or not path.is_file():
            self.send_error(404)
            return
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            size = st.st_size
            start, end, status = 0, size, 200
            if wanted is not None:
                m = _RANGE.match(wanted.strip())
                if m and m.group(1):
                    start = int(m.group(1))
                    end = min(int(m.group(2)) + 1, size) if m.group(2) else size
                elif m and m.group(2):
                    start = max(size - int(m.group(2)), 0)
                if m is None or start >= end:
                    self.send_response(416)
                    self.send_header("Content-Range", f"bytes */{size}")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                status = 206
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            shown = end - start
            if not body:
                shown -= min(self.server.under_report, shown)  # type: ignore[attr-defined]
            self.send_header("Content-Length", str(shown))
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("ETag", f'"{st.st_ino:x}-{st.st_mtime_ns:x}-{size:x}"')
            self.send_header("Last-Modified", formatdate(st.st_mtime, usegmt=True))
            if status == 206:
                self.send_header("Content-Range", f"bytes {start}-{end - 1}/{size}")
            self.end_headers()
            if body and end > start:
                self.wfile.flush()
                self.connection.sendfile(f, offset=start, count=end - start)


class Server:
    """A server process started by `start`; `stop` ends it."""

    def __init__(self, args: List[str], env: Optional[Dict[str, str]] = None) -> None:
        self._proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), *args],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        assert self._proc.stdout is not None
        line = self._proc.stdout.readline()
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError(f"the {args[0]} server did not start")
        self.port = int(line)
        self.url = f"http://{HOST}:{self.port}"

    def stop(self) -> None:
        assert self._proc.stdin is not None
        self._proc.stdin.close()
        try:
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()


class HTTPServer(Server):
    """The files under `root` at http://127.0.0.1:port/NAME; a HEAD tells each file's size
    `under_report` bytes short."""

    def __init__(self, root: os.PathLike, under_report: int = 0) -> None:
        super().__init__(["http", os.fspath(root), str(under_report)])

    def take_requests(self) -> List[List[Optional[str]]]:
        """[method, path, Range header or None] of each request since the last call."""
        with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(
                self.url + LOG_PATH, timeout=10) as r:
            return json.loads(r.read())


class S3Server(Server):
    """moto's S3 in server mode; `options` are s3fs's storage options for it."""

    def __init__(self) -> None:
        super().__init__(["s3"], env=s3_environment(os.environ))
        self.options = {"endpoint_url": self.url, "key": S3_KEY, "secret": S3_KEY}


def s3_environment(base: Dict[str, str]) -> Dict[str, str]:
    """`base` with what keeps AWS clients on this machine."""
    env = {k: v for k, v in base.items() if k not in S3_UNSET}
    env.update(S3_ENV)
    # Where moto's request recorder (the GET-counting tests) keeps its log: not the working tree.
    env["MOTO_RECORDER_FILEPATH"] = os.path.join(tempfile.gettempdir(),
                                                 f"vorn-moto-recording-{os.getpid()}")
    return env


def _serve_until_stdin_closes(port: int, stop) -> None:
    print(port, flush=True)
    sys.stdin.read()
    stop()


def main(argv: List[str]) -> None:
    if argv[0] == "http":
        server = ThreadingHTTPServer((HOST, 0), RangeHandler)
        server.daemon_threads = True
        server.root = Path(argv[1]).resolve()  # type: ignore[attr-defined]
        server.lock = threading.Lock()  # type: ignore[attr-defined]
        server.log = []  # type: ignore[attr-defined]
        server.under_report = int(argv[2]) if len(argv) > 2 else 0  # type: ignore[attr-defined]
        threading.Thread(target=server.serve_forever, daemon=True).start()
        _serve_until_stdin_closes(server.server_address[1], server.shutdown)
    elif argv[0] == "s3":
        import logging

        from moto.server import ThreadedMotoServer

        logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no line per request
        moto = ThreadedMotoServer(ip_address=HOST, port=0, verbose=False)
        moto.start()
        _serve_until_stdin_closes(moto.get_host_and_port()[1], moto.stop)
    else:
        raise SystemExit(f"unknown server {argv[0]!r}: s3 or http")


if __name__ == "__main__":
    main(sys.argv[1:])
