"""A self-contained HTML page drawing a concept-mesh export (``ConceptMesh.to_dict()``).

The page needs nothing from the network: styles, script and data are inline, the
drawing is SVG laid out here in Python, so the same export always gives the same
picture. (numpy, when installed, speeds the layout up; its float sums differ from
the plain-Python ones in the last bits, which the force simulation amplifies, so
beyond a few nodes the two place sessions differently.) Text from the memories only ever reaches the page escaped: as attribute
values, or inside one JSON block that the script reads as data.
"""

from __future__ import annotations

import contextlib
import hashlib
import html
import json
import math
import os
import re
import tempfile
from collections import Counter
from pathlib import Path

__all__ = ["render_html", "render_page"]

WIDTH, HEIGHT, MARGIN = 960.0, 640.0, 28.0
ITERATIONS = 300
GRAVITY = 20.0  # pull toward the centre, in units of the ideal edge length
PALETTE = ("#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f",
           "#edc948", "#b07aa1", "#ff9da7", "#9c755f")
OTHER_COLOUR, UNTAGGED_COLOUR = "#8c8c8c", "#d0d0d0"
LABELS = 8  # the most central nodes carry a short caption

_NODE_KEYS = {"id": str, "summary": str, "created_at": (str, type(None)), "tags": list, "entities": list,
              "density": (int, float), "centrality": (int, float), "superseded_by": object,
              "valid_until": object, "author": object, "origin": object}
_EDGE_KEYS = {"source": str, "target": str, "weight": (int, float), "shared_tags": int,
              "shared_entities": int, "shared_key_points": int, "embedding_similarity": (int, float)}


def _type_name(value: object) -> str:
    return type(value).__name__


def _check_record(record: object, keys: dict, where: str) -> None:
    if not isinstance(record, dict):
        raise TypeError(f"not a mesh export: {where} must be a dict, got {_type_name(record)}")
    for key, kind in keys.items():
        if key not in record:
            raise ValueError(f"not a mesh export: {where} has no {key!r}")
        value = record[key]
        # bool is an int subclass, but a flag is never a count or a score
        if not isinstance(value, kind) or (kind is not object and isinstance(value, bool)):
            raise TypeError(f"not a mesh export: {where}[{key!r}] has type {_type_name(value)}")
        if isinstance(value, float) and not math.isfinite(value):
            raise ValueError(f"not a mesh export: {where}[{key!r}] is {value}")
    for key in ("tags", "entities") if keys is _NODE_KEYS else ():
        for item in record[key]:
            if not isinstance(item, str):
                raise TypeError(f"not a mesh export: {where}[{key!r}] holds a {_type_name(item)}")


def _check(view: object) -> None:
    """Refuse anything that is not a to_dict() result, before any output exists."""
    if not isinstance(view, dict):
        raise TypeError(f"not a mesh export: expected a dict from ConceptMesh.to_dict(), got {_type_name(view)}")
    for key, kind in (("nodes", list), ("edges", list), ("total_nodes", int), ("truncated", bool)):
        if key not in view:
            raise ValueError(f"not a mesh export: no {key!r} key")
        if not isinstance(view[key], kind) or (kind is int and isinstance(view[key], bool)):
            raise TypeError(f"not a mesh export: {key!r} must be {kind.__name__}, got {_type_name(view[key])}")
    ids: set[str] = set()
    for i, node in enumerate(view["nodes"]):
        _check_record(node, _NODE_KEYS, f"nodes[{i}]")
        if node["id"] in ids:
            raise ValueError(f"not a mesh export: node id {node['id']!r} appears twice")
        ids.add(node["id"])
    for i, edge in enumerate(view["edges"]):
        _check_record(edge, _EDGE_KEYS, f"edges[{i}]")
        for end in ("source", "target"):
            if edge[end] not in ids:
                raise ValueError(f"not a mesh export: edges[{i}] {end} {edge[end]!r} is not an exported node")
    if view["total_nodes"] < len(ids):
        raise ValueError(f"not a mesh export: total_nodes {view['total_nodes']} is below the {len(ids)} nodes given")


# ------------------------------------------------------------------- layout

def _start(session_id: str) -> tuple[float, float]:
    # From the id alone, so a session keeps its place when other sessions come and go.
    h = hashlib.sha256(session_id.encode("utf-8", "surrogatepass")).digest()
    return int.from_bytes(h[:4]) / 2**32, int.from_bytes(h[4:8]) / 2**32


def _layout_numpy(np, start, links):
    x = np.array([p[0] for p in start])
    y = np.array([p[1] for p in start])
    k2 = 1.0 / len(x)
    k = math.sqrt(k2)
    src, dst, w = (np.array(c) for c in zip(*links)) if links else ([], [], [])
    for it in range(ITERATIONS):
        dx, dy = x[:, None] - x[None, :], y[:, None] - y[None, :]
        f = k2 / np.maximum(dx * dx + dy * dy, 1e-12)
        fx, fy = (dx * f).sum(1), (dy * f).sum(1)
        if links:
            lx, ly = x[src] - x[dst], y[src] - y[dst]
            pull = np.sqrt(lx * lx + ly * ly) * w / k
            for v, lv in ((fx, lx * pull), (fy, ly * pull)):
                np.add.at(v, src, -lv)
                np.add.at(v, dst, lv)
        fx += (0.5 - x) * GRAVITY * k
        fy += (0.5 - y) * GRAVITY * k
        length = np.maximum(np.sqrt(fx * fx + fy * fy), 1e-12)
        step = np.minimum(length, 0.1 * (1 - it / ITERATIONS)) / length
        x += fx * step
        y += fy * step
    return list(zip(x.tolist(), y.tolist()))


def _layout_python(start, links):
    # The same steps with complex numbers: the push of j on i is k2 / conj(zi - zj).
    z = [complex(*p) for p in start]
    k2 = 1.0 / len(z)
    k = math.sqrt(k2)
    for it in range(ITERATIONS):
        c = [v.conjugate() for v in z]
        force = [k2 * sum([1 / d for d in [ci - cj for cj in c] if d]) for ci in c]
        for a, b, w in links:
            d = z[a] - z[b]
            pull = d * abs(d) * w / k
            force[a] -= pull
            force[b] += pull
        cap = 0.1 * (1 - it / ITERATIONS)
        for i, v in enumerate(z):
            f = force[i] + (complex(0.5, 0.5) - v) * GRAVITY * k
            length = max(abs(f), 1e-12)
            z[i] = v + f * (min(length, cap) / length)
    return [(v.real, v.imag) for v in z]


def _layout(ids: list[str], edges: list[tuple[str, str, float]]) -> list[tuple[float, float]]:
    """Force-directed placement (repulsion between all nodes, pull along edges by weight,
    a little gravity so that separate components stay in sight), fitted to the canvas."""
    if not ids:
        return []
    index = {sid: i for i, sid in enumerate(ids)}
    top = max((w for _, _, w in edges), default=0.0) or 1.0
    links = [(index[a], index[b], 0.3 + 0.7 * max(w, 0.0) / top) for a, b, w in edges]
    start = [_start(sid) for sid in ids]
    if len(ids) == 1:
        pos = [[0.5, 0.5]]
    else:
        try:
            import numpy
        except ImportError:
            pos = _layout_python(start, links)
        else:
            pos = _layout_numpy(numpy, start, links)
    xs, ys = [p[0] for p in pos], [p[1] for p in pos]
    # x and y stretched apart to fill the wide canvas; a flat span stays centred
    sx, sy = ((size - 2 * MARGIN) / (max(v) - min(v)) if max(v) - min(v) > 1e-9 else 0.0
              for size, v in ((WIDTH, xs), (HEIGHT, ys)))
    cx, cy = (max(xs) + min(xs)) / 2, (max(ys) + min(ys)) / 2
    return [(round(WIDTH / 2 + (x - cx) * sx, 1), round(HEIGHT / 2 + (y - cy) * sy, 1)) for x, y in pos]


# ------------------------------------------------------------------- page

def _groups(nodes: list[dict]) -> tuple[list[str], list[tuple[str, str, int]]]:
    """Each node's colour from its strongest tag, the one most nodes of the view share;
    and the legend: (label, colour, count) rows."""
    counts = Counter(t for n in nodes for t in set(n["tags"]))
    strongest = [min(n["tags"], key=lambda t: (-counts[t], t)) if n["tags"] else None for n in nodes]
    ranked = [t for t, _ in sorted(Counter(s for s in strongest if s is not None).items(),
                                   key=lambda tc: (-tc[1], tc[0]))]
    colour = dict(zip(ranked, PALETTE))
    colours = [UNTAGGED_COLOUR if s is None else colour.get(s, OTHER_COLOUR) for s in strongest]
    per = Counter(strongest)
    legend = [(t, colour[t], per[t]) for t in ranked[:len(PALETTE)]]
    others = sum(per[t] for t in ranked[len(PALETTE):])
    if others:
        legend.append(("other tags", OTHER_COLOUR, others))
    if per[None]:
        legend.append(("no tags", UNTAGGED_COLOUR, per[None]))
    return colours, legend


def _plain(value: object) -> object:
    """A pass-through memory value as JSON can carry it."""
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float) and math.isfinite(value):
        return value
    return str(value)


def _script_json(data: object) -> str:
    # Inside <script> only these characters could end the element or break the parse.
    text = json.dumps(data, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    for ch, esc in (("&", "\\u0026"), ("<", "\\u003c"), (">", "\\u003e"),
                    ("\u2028", "\\u2028"), ("\u2029", "\\u2029")):
        text = text.replace(ch, esc)
    return text


def _attr(value: object) -> str:
    return html.escape(str(value), quote=True)


def _caption(text: str, limit: int = 28) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


def render_page(view: dict, *, title: str | None = None, path_url: str | None = None) -> str:
    """The HTML text of the page for `view`. With `path_url`, clicking two sessions asks
    ``path_url?source=..&target=..`` for the strongest chain between them and draws it."""
    _check(view)
    if title is not None and not isinstance(title, str):
        raise TypeError(f"title must be a str or None, got {_type_name(title)}")
    if path_url is not None and not isinstance(path_url, str):
        raise TypeError(f"path_url must be a str or None, got {_type_name(path_url)}")
    title = "Concept mesh" if title is None else title
    nodes, edges = view["nodes"], view["edges"]
    ids = [n["id"] for n in nodes]
    xy = dict(zip(ids, _layout(ids, [(e["source"], e["target"], e["weight"]) for e in edges])))
    colours, legend = _groups(nodes)
    top_c = max((max(n["centrality"], 0) for n in nodes), default=0) or 1
    top_w = max((max(e["weight"], 0) for e in edges), default=0) or 1

    shrink = min(1.0, (50 / max(len(nodes), 1)) ** 0.4)  # crowded views get smaller dots

    def radius(node: dict) -> float:
        return (4 + 12 * math.sqrt(max(node["centrality"], 0) / top_c)) * shrink

    svg = [f'<svg id="mesh" viewBox="0 0 {WIDTH:g} {HEIGHT:g}" role="img" aria-label="{_attr(title)}">',
           '<g id="edges">']
    for e in edges:
        (x1, y1), (x2, y2) = xy[e["source"]], xy[e["target"]]
        svg.append(f'<line class="edge" data-source="{_attr(e["source"])}" data-target="{_attr(e["target"])}" '
                   f'x1="{x1}" y1="{y1}" x2="{x2}" y2="{y2}" '
                   f'stroke-width="{0.6 + 3.4 * max(e["weight"], 0) / top_w:.2f}"/>')
    svg.append('</g><g id="chain-links"></g><g id="nodes">')
    # least central first, so the big nodes sit on top
    for n, colour in reversed(list(zip(nodes, colours))):
        x, y = xy[n["id"]]
        r = radius(n)
        svg.append(f'<circle class="node" data-node-id="{_attr(n["id"])}" cx="{x}" cy="{y}" r="{r:.1f}" '
                   f'fill="{colour}"/>')
    svg.append('</g><g id="labels">')
    placed: list[tuple[float, float, float, float]] = []
    for n in nodes[:LABELS]:
        x, y = xy[n["id"]]
        r = radius(n)
        text = _caption(n["summary"])
        ly = y - r - 5 if y - r - 5 > 12 else y + r + 13  # below the node at the top edge
        anchor = "start" if x < 110 else "end" if x > WIDTH - 110 else "middle"
        w = 6.2 * len(text)  # about 11px type
        left = x if anchor == "start" else x - w if anchor == "end" else x - w / 2
        box = (left, ly - 11, left + w, ly + 2)
        if any(box[0] < b[2] and b[0] < box[2] and box[1] < b[3] and b[1] < box[3] for b in placed):
            continue  # a caption on top of another is read as neither
        placed.append(box)
        svg.append(f'<text x="{x}" y="{ly:.1f}" text-anchor="{anchor}">{_attr(text)}</text>')
    svg.append("</g></svg>")

    shown, total = len(nodes), view["total_nodes"]
    count = f"{shown:,} of {total:,} sessions" + (", the most central" if view["truncated"] else "")
    count += f" \u00b7 {len(edges):,} links"
    legend_html = "".join(f'<li><span class="swatch" style="background:{c}"></span>{_attr(label)} '
                          f'<span class="n">{k}</span></li>' for label, c, k in legend)
    keys = ("id", "summary", "tags", "entities", "author", "origin", "created_at", "density", "centrality",
            "superseded_by", "valid_until")
    data = {"pathUrl": path_url, "nodes": [{k: n[k] if k in ("tags", "entities") else _plain(n[k]) for k in keys}
                                         for n in nodes]}
    hint = ("Click two sessions to draw the strongest chain between them."
            if path_url else "Chains between sessions: open this view through the demo server "
                             "(./scripts/demo.sh --serve).")
    parts = {"title": _attr(title), "count": _attr(count), "legend": legend_html, "hint": _attr(hint),
             "count_attrs": f'data-shown="{shown}" data-total="{total}" '
                            f'data-truncated="{str(view["truncated"]).lower()}"',
             "svg": "\n".join(svg), "data": _script_json(data)}
    # one pass: a memory's text that looks like a placeholder is never expanded
    return re.sub(r"\{\{(\w+)\}\}", lambda m: parts[m.group(1)], _PAGE)


def render_html(view: dict, path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """Write the page for `view` (a ConceptMesh.to_dict() result) to `path`.

    The export is checked completely first: a malformed one raises TypeError or
    ValueError and nothing is written. The file is replaced in one step, so a
    reader never sees half a page."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, got {_type_name(path)}")
    text = render_page(view, title=title)
    target = Path(path)
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.chmod(tmp, 0o644)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; connect-src 'self'; img-src data:">
<title>{{title}}</title>
<style>
body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", sans-serif; color: #222; background: #fafafa; }
header { padding: 10px 18px; border-bottom: 1px solid #ddd; background: #fff; display: flex; gap: 18px; align-items: baseline; flex-wrap: wrap; }
h1 { font-size: 18px; margin: 0; }
#count { margin: 0; color: #555; }
#search { margin-left: auto; padding: 4px 8px; width: 240px; font: inherit; }
#matches { color: #555; min-width: 6em; }
main { display: flex; }
#canvas { flex: 1; min-width: 0; }
svg { width: 100%; height: auto; max-height: calc(100vh - 56px); display: block; background: #fff; }
.edge { stroke: #9aa4b1; stroke-opacity: .55; }
.node { stroke: #fff; stroke-width: 1.5; cursor: pointer; }
.node:hover { stroke: #222; }
#labels text { font-size: 11px; fill: #333; pointer-events: none; paint-order: stroke; stroke: #fff; stroke-width: 3px; }
svg.searching .node:not(.match), svg.searching .edge { opacity: .15; }
.node.match { stroke: #111; stroke-width: 3; }
.node.picked { stroke: #d62728; stroke-width: 3.5; }
.node.on-chain { stroke: #d62728; stroke-width: 3; }
.chain-link { stroke: #d62728; stroke-width: 4; stroke-linecap: round; fill: none; }
.chain-link.hidden-hop { stroke-dasharray: 6 5; }
aside { width: 260px; max-height: calc(100vh - 56px); overflow-y: auto; padding: 12px 16px; border-left: 1px solid #ddd; background: #fff; }
aside h2 { font-size: 13px; text-transform: uppercase; letter-spacing: .04em; color: #666; margin: 14px 0 6px; }
#legend { list-style: none; padding: 0; margin: 0; }
#legend li { margin: 2px 0; }
.swatch { display: inline-block; width: 11px; height: 11px; border-radius: 50%; margin-right: 6px; vertical-align: -1px; }
.n { color: #888; }
#chain { padding-left: 20px; margin: 4px 0; font-size: 12px; }
#chain .outside { color: #888; font-style: italic; }
#hint { color: #666; font-size: 12px; }
#tooltip { position: fixed; max-width: 340px; background: #fff; border: 1px solid #bbb; border-radius: 6px; box-shadow: 0 2px 8px rgba(0,0,0,.15); padding: 8px 10px; font-size: 12px; pointer-events: none; z-index: 10; }
#tooltip strong { display: block; margin-bottom: 4px; font-size: 13px; }
#tooltip dl { display: grid; grid-template-columns: auto 1fr; gap: 1px 8px; margin: 0; }
#tooltip dt { color: #777; }
#tooltip dd { margin: 0; overflow-wrap: anywhere; }
</style>
</head>
<body>
<header>
<h1>{{title}}</h1>
<p id="count" {{count_attrs}}>{{count}}</p>
<input id="search" type="search" placeholder="Search summaries and tags" aria-label="Search summaries and tags">
<span id="matches"></span>
</header>
<main>
<div id="canvas">
{{svg}}
</div>
<aside>
<h2>Colour: strongest tag</h2>
<ul id="legend">{{legend}}</ul>
<p class="n">Node size: centrality. Line width: link weight.</p>
<h2>Strongest chain</h2>
<p id="hint">{{hint}}</p>
<ol id="chain"></ol>
</aside>
</main>
<div id="tooltip" hidden></div>
<script type="application/json" id="vk-data">{{data}}</script>
<script>
(() => {
  "use strict";
  const data = JSON.parse(document.getElementById("vk-data").textContent);
  const byId = new Map(data.nodes.map((n) => [n.id, n]));
  const svg = document.getElementById("mesh");
  const tip = document.getElementById("tooltip");
  const circles = Array.from(svg.querySelectorAll(".node"));
  const circleOf = new Map(circles.map((c) => [c.dataset.nodeId, c]));
  const fmt = (v) => (v === null || v === undefined || v === "" ? "\\u2014" : Array.isArray(v) ? (v.length ? v.join(", ") : "\\u2014") : String(v));

  function showTip(el, ev) {
    const n = byId.get(el.dataset.nodeId);
    const head = document.createElement("strong");
    head.textContent = n.summary;
    const dl = document.createElement("dl");
    const rows = [["tags", n.tags], ["entities", n.entities], ["author", n.author], ["origin", n.origin],
                  ["created", n.created_at], ["density", n.density], ["centrality", n.centrality], ["id", n.id]];
    if (n.superseded_by !== null) rows.push(["superseded by", n.superseded_by]);
    if (n.valid_until !== null) rows.push(["valid until", n.valid_until]);
    for (const [k, v] of rows) {
      const dt = document.createElement("dt"); dt.textContent = k;
      const dd = document.createElement("dd"); dd.textContent = fmt(v); dd.dataset.field = k;
      dl.append(dt, dd);
    }
    tip.replaceChildren(head, dl);
    tip.hidden = false;
    moveTip(ev);
  }
  function moveTip(ev) {
    const x = Math.min(ev.clientX + 14, window.innerWidth - tip.offsetWidth - 8);
    const y = Math.min(ev.clientY + 14, window.innerHeight - tip.offsetHeight - 8);
    tip.style.left = Math.max(0, x) + "px";
    tip.style.top = Math.max(0, y) + "px";
  }
  for (const c of circles) {
    c.addEventListener("mouseenter", (ev) => showTip(c, ev));
    c.addEventListener("mousemove", moveTip);
    c.addEventListener("mouseleave", () => { tip.hidden = true; });
    c.addEventListener("click", () => pick(c));
  }

  const search = document.getElementById("search");
  const matches = document.getElementById("matches");
  search.addEventListener("input", () => {
    const q = search.value.trim().toLowerCase();
    let hits = 0;
    for (const c of circles) {
      const n = byId.get(c.dataset.nodeId);
      const hit = q !== "" && (n.summary.toLowerCase().includes(q) || n.tags.some((t) => t.toLowerCase().includes(q)));
      c.classList.toggle("match", hit);
      hits += hit;
    }
    svg.classList.toggle("searching", q !== "");
    matches.textContent = q === "" ? "" : hits + (hits === 1 ? " match" : " matches");
  });

  const chain = document.getElementById("chain");
  const links = document.getElementById("chain-links");
  const hint = document.getElementById("hint");
  let picked = [];
  function clearChain() {
    for (const c of circles) c.classList.remove("picked", "on-chain");
    links.replaceChildren();
    chain.replaceChildren();
    delete chain.dataset.state;
    picked = [];
  }
  function pick(c) {
    if (!data.pathUrl) return;
    if (picked.length === 2) clearChain();
    picked.push(c.dataset.nodeId);
    c.classList.add("picked");
    if (picked.length < 2) { hint.textContent = "Now click a second session."; return; }
    const query = new URLSearchParams({ source: picked[0], target: picked[1] });
    chain.dataset.state = "loading";
    fetch(data.pathUrl + "?" + query)
      .then((r) => (r.ok ? r.json() : Promise.reject(new Error("HTTP " + r.status))))
      .then(drawChain)
      .catch((err) => { hint.textContent = "No chain: " + err.message; chain.dataset.state = "error"; });
  }
  function drawChain(res) {
    const ids = res.path;
    let prev = null;
    for (let i = 0; i < ids.length; i++) {
      const c = circleOf.get(ids[i]);
      const li = document.createElement("li");
      li.dataset.nodeId = ids[i];
      li.textContent = (res.summaries && res.summaries[ids[i]]) || ids[i];
      if (!c) { li.className = "outside"; li.title = "not among the sessions drawn"; chain.append(li); continue; }
      c.classList.add("on-chain");
      chain.append(li);
      if (prev) {
        const line = document.createElementNS("http://www.w3.org/2000/svg", "line");
        line.setAttribute("class", "chain-link" + (prev.hop === i - 1 ? "" : " hidden-hop"));
        line.dataset.source = prev.c.dataset.nodeId;
        line.dataset.target = ids[i];
        for (const [a, b] of [["x1", "cx"], ["y1", "cy"]]) line.setAttribute(a, prev.c.getAttribute(b));
        for (const [a, b] of [["x2", "cx"], ["y2", "cy"]]) line.setAttribute(a, c.getAttribute(b));
        links.append(line);
      }
      prev = { c, hop: i };
    }
    hint.textContent = ids.length ? ids.length + (ids.length === 1 ? " session" : " sessions") +
                                    " in the chain; click another session to start again."
                                  : "No chain links these two sessions.";
    chain.dataset.state = "done";
  }
  document.addEventListener("keydown", (ev) => { if (ev.key === "Escape") clearChain(); });
})();
</script>
</body>
</html>
"""
