"""The local web server of ``zelmor-lab serve``: the page's files from the package and its JSON API, on
127.0.0.1 only, with the standard library's threading HTTP server.

API (JSON in and out; a failure answers {"error": message} with its status):
  GET  /api/run                 the run: name, board side, network, piece catalogue, colours
  GET  /api/games               the game list
  GET  /api/games/<index>       one stored game: listing, actions with their pieces, visit shares
  POST /api/position            {tiles}                -> the position they lead to
  POST /api/analyse             {tiles, sims}          -> policy, value per player, search visits
  POST /api/move                {tiles, kind, sims}    -> a computer seat's tile and the position after it
  POST /api/save                {tiles, seats}         -> the saved game's listing

A request is answered only when its Host header names the server itself, so that a web page elsewhere
cannot reach the API through a name that resolves to 127.0.0.1, and a POST only with a JSON body, which
a page elsewhere cannot send without the browser asking first. Other methods get the same Host check and
405; a connection that sends nothing for TIMEOUT_S seconds is closed. The network thinks for one request
at a time (see Viewer); everything else answers meanwhile.
"""

from __future__ import annotations

import json
import re
import sys
import traceback
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

from ..errors import InputError
from ..runs.store import Run
from ..validation import load_json
from .viewer import RequestError, Viewer, load_network

HOST = "127.0.0.1"
WEB = Path(__file__).with_name("static")
MAX_BODY = 1 << 20
TIMEOUT_S = 30  # a connection idle or stalled this long is closed, so that slow ones cannot pile up threads
_CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".png": "image/png",
}
_GAME = re.compile(r"/api/games/(\d{1,9})")


class ServeError(InputError):
    """A server that cannot start: the port is taken or not allowed."""


class ViewerServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, viewer: Viewer, port: int):
        self.viewer = viewer
        try:
            super().__init__((HOST, port), _Handler)
        except OSError as error:
            raise ServeError(f"cannot listen on {HOST}:{port}: {error.strerror}") from None
        self.port = self.server_address[1]
        self.hosts = {f"{HOST}:{self.port}", f"localhost:{self.port}"}

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.port}/"


def make_server(
    run_path: Path, model: Path | None = None, port: int = 0, seed: int | None = None, say=print
) -> ViewerServer:
    """A server for the run at ``run_path``, bound but not yet serving; InputError (RunError,
    CheckpointError, CorruptShardError, ServeError) when it cannot be made. The game list is built
    here, so that a run that cannot be read is refused before the page is offered."""
    run = Run(run_path)
    network, about_network = load_network(run, model)
    viewer = Viewer(run, network, seed)
    games = len(viewer.index.entries())
    server = ViewerServer(viewer, port)
    say(f"run {run.path}: {games} games on a {run.dim} x {run.dim} board; {about_network}")
    return server


def serve(run_path: Path, model: Path | None, port: int) -> None:
    """Serve until Ctrl-C (which reaches the caller as KeyboardInterrupt)."""
    server = make_server(run_path, model, port)
    print(f"serving {server.url} (Ctrl-C stops)", flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()


class _Handler(BaseHTTPRequestHandler):
    server: ViewerServer
    protocol_version = "HTTP/1.1"
    timeout = TIMEOUT_S

    def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
        if not self._host_allowed():
            return
        path = self.path.split("?", 1)[0]
        if path in ("/", "/index.html"):
            self._file("index.html")
        elif path.startswith("/static/"):
            self._file(path[len("/static/") :])
        elif path == "/api/run":
            self._answer(self.server.viewer.describe)
        elif path == "/api/games":
            self._answer(self.server.viewer.games)
        elif match := _GAME.fullmatch(path):
            self._answer(lambda: self.server.viewer.game(int(match.group(1))))
        else:
            self._error(HTTPStatus.NOT_FOUND, f"no such page: {path}")

    def do_POST(self) -> None:  # noqa: N802
        if not self._host_allowed():
            return
        viewer = self.server.viewer
        routes = {
            "/api/position": lambda body: viewer.position(body.get("tiles")),
            "/api/analyse": lambda body: viewer.analyse(body.get("tiles"), body.get("sims", 0)),
            "/api/move": lambda body: viewer.move(body.get("tiles"), body.get("kind"), body.get("sims", 0)),
            "/api/save": lambda body: viewer.save(body.get("tiles"), body.get("seats")),
        }
        route = routes.get(self.path)
        if route is None:
            self._error(HTTPStatus.NOT_FOUND, f"no such page: {self.path}")
            return
        body = self._json_body()
        if body is not None:
            self._answer(lambda: route(body))

    def __getattr__(self, name: str) -> Any:
        if name.startswith("do_"):  # any other method: HEAD, PUT, DELETE, OPTIONS, or one made up
            return self._other_method
        raise AttributeError(name)

    def _other_method(self) -> None:
        if self._host_allowed():
            self._error(HTTPStatus.METHOD_NOT_ALLOWED, f"the server answers GET and POST, not {self.command}")

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        """The standard library's refusals (a malformed request line, headers too long) as JSON too."""
        self._error(code, message or HTTPStatus(code).phrase)

    def log_message(self, format: str, *args: Any) -> None:
        pass  # a request log would drown the terminal in the page's many small requests

    # ---- helpers --------------------------------------------------------------------------------

    def _host_allowed(self) -> bool:
        if self.headers.get("Host") in self.server.hosts:
            return True
        self._error(HTTPStatus.FORBIDDEN, f"this server answers only to {self.server.url}")
        return False

    def _json_body(self) -> dict | None:
        if self.headers.get_content_type() != "application/json":
            self._error(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "the request body must be JSON (application/json)")
            return None
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            self._error(HTTPStatus.LENGTH_REQUIRED, "the request needs a Content-Length")
            return None
        if not 0 <= length <= MAX_BODY:
            self._error(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"the request body is over {MAX_BODY} bytes")
            return None
        try:
            body = load_json(self.rfile.read(length))
        except (ValueError, UnicodeDecodeError):
            self._error(HTTPStatus.BAD_REQUEST, "the request body is not valid JSON")
            return None
        if not isinstance(body, dict):
            self._error(HTTPStatus.BAD_REQUEST, "the request body must be a JSON object")
            return None
        return body

    def _answer(self, compute) -> None:
        try:
            payload = compute()
        except RequestError as error:
            self._error(error.status, str(error))
        except InputError as error:  # the run changed under the server: a shard that cannot be read
            self._error(HTTPStatus.CONFLICT, str(error))
        except Exception as error:  # one failed request must not end the server
            traceback.print_exc(file=sys.stderr)
            self._error(HTTPStatus.INTERNAL_SERVER_ERROR, f"the server failed: {type(error).__name__}: {error}")
        else:
            self._send(HTTPStatus.OK, json.dumps(payload, separators=(",", ":")).encode(), "application/json")

    def _file(self, name: str) -> None:
        # Only the page's own files: a name is looked up among them, never joined into a path.
        files = {p.name: p for p in WEB.iterdir() if p.is_file()}
        if name not in files or files[name].suffix not in _CONTENT_TYPES:
            self._error(HTTPStatus.NOT_FOUND, f"no such file: {name}")
            return
        self._send(HTTPStatus.OK, files[name].read_bytes(), _CONTENT_TYPES[files[name].suffix])

    def _error(self, status: int, message: str) -> None:
        self.close_connection = True  # a refused request's body may be unread: it must not pass for the next one
        self._send(status, json.dumps({"error": message}).encode(), "application/json")

    def _send(self, status: int, data: bytes, content_type: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
