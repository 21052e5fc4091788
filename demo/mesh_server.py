"""A local web server for one concept mesh: the browser view, the export as JSON,
and the strongest chain between two sessions of the whole mesh.

    GET /             the page (vesperkit.graph.view.render_page)
    GET /export.json  the export the page draws
    GET /path?source=ID&target=ID
                      {"source", "target", "path": [ids], "summaries": {id: summary}}
"""

from __future__ import annotations

import json
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from vesperkit.graph.view import render_page

DEFAULT_PORT = 8765


def make_server(mesh, view: dict, *, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                title: str | None = None, quiet: bool = False) -> ThreadingHTTPServer:
    """A server bound to host:port (0 picks a free port) that has not started serving yet."""
    page = render_page(view, title=title, path_url="path").encode("utf-8")
    export = json.dumps(view, default=str).encode("utf-8")

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            url = urlsplit(self.path)
            if url.path in ("/", "/index.html"):
                self._send(page, "text/html; charset=utf-8")
            elif url.path == "/export.json":
                self._send(export, "application/json")
            elif url.path == "/path":
                query = parse_qs(url.query)
                source, target = query.get("source", [None])[0], query.get("target", [None])[0]
                if source is None or target is None:
                    self._send(b'{"error": "source and target are required"}', "application/json",
                               HTTPStatus.BAD_REQUEST)
                    return
                path = mesh.shortest_path(source, target)
                body = {"source": source, "target": target, "path": path,
                        "summaries": {sid: mesh.nodes[sid].summary for sid in path}}
                self._send(json.dumps(body).encode("utf-8"), "application/json")
            else:
                self._send(b"not found", "text/plain", HTTPStatus.NOT_FOUND)

        def _send(self, body: bytes, kind: str, status: HTTPStatus = HTTPStatus.OK) -> None:
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format: str, *args) -> None:
            if not quiet:
                super().log_message(format, *args)

    server = ThreadingHTTPServer((host, port), Handler)
    server.daemon_threads = True
    return server


def serve(mesh, view: dict, *, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
          title: str | None = None) -> None:
    """Serve until Ctrl-C."""
    with make_server(mesh, view, host=host, port=port, title=title) as server:
        print(f"Serving the mesh at http://{host}:{server.server_address[1]}/  (Ctrl-C stops)", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            print("\nstopped")
