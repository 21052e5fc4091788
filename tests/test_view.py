"""The browser view of a mesh export: the page text, then the page at work in headless Chromium."""

import base64
import copy
import json
import os
import re
import shutil
import sys
import threading
import urllib.request
from pathlib import Path

import pytest

from vesperkit.graph.concept_mesh import ConceptMesh
from vesperkit.graph.view import render_html, render_page

ROOT = Path(__file__).resolve().parent.parent
SESSIONS = json.loads((ROOT / "demo" / "sample_sessions.json").read_text(encoding="utf-8"))
HOSTILE = ['</script><script>window.pwned = 1</script>', '"><img src=x onerror="window.pwned = 2">',
           "{{data}} Tom & Jerry's <b>\"quotes\"</b>", "line\u2028para\u2029end </SCRIPT >"]
DROP = object()


@pytest.fixture(scope="module")
def mesh():
    m = ConceptMesh()
    m.add_conversations(SESSIONS)
    m.calculate_densities()
    m.calculate_centralities()
    return m


@pytest.fixture(scope="module")
def export(mesh):
    return mesh.to_dict(max_nodes=20, max_edges_per_node=4)


def hostile_export(export):
    view = copy.deepcopy(export)
    old = view["nodes"][0]["id"]
    for node, text in zip(view["nodes"], HOSTILE):
        node.update(summary=text, tags=[text], author=text)
    view["nodes"][0]["id"] = HOSTILE[0]
    for edge in view["edges"]:
        for end in ("source", "target"):
            edge[end] = HOSTILE[0] if edge[end] == old else edge[end]
    return view


@pytest.mark.parametrize("where, value, error, message", [
    ((), [], TypeError, "expected a dict from ConceptMesh.to_dict(), got list"),
    (("nodes",), DROP, ValueError, "no 'nodes' key"),
    (("total_nodes",), "5", TypeError, "'total_nodes' must be int, got str"),
    (("truncated",), 1, TypeError, "'truncated' must be bool, got int"),
    (("nodes", 0), "n", TypeError, "nodes[0] must be a dict, got str"),
    (("nodes", 0, "summary"), None, TypeError, "nodes[0]['summary'] has type NoneType"),
    (("nodes", 1, "centrality"), DROP, ValueError, "nodes[1] has no 'centrality'"),
    (("nodes", 1, "density"), float("nan"), ValueError, "nodes[1]['density'] is nan"),
    (("nodes", 1, "centrality"), True, TypeError, "nodes[1]['centrality'] has type bool"),
    (("nodes", 2, "tags"), ["ok", 3], TypeError, "nodes[2]['tags'] holds a int"),
    (("nodes", 1, "id"), "<first>", ValueError, "node id '<first>' appears twice"),
    (("edges", 0, "target"), "nobody", ValueError, "edges[0] target 'nobody' is not an exported node"),
    (("edges", 0, "weight"), "1", TypeError, "edges[0]['weight'] has type str"),
    (("total_nodes",), 3, ValueError, "total_nodes 3 is below the 20 nodes given"),
])
def test_a_malformed_export_is_refused_before_anything_is_written(tmp_path, export, where, value, error, message):
    view = copy.deepcopy(export)
    if value == "<first>":
        value = view["nodes"][0]["id"]
        message = message.replace("<first>", value)
    if not where:
        view = value
    else:
        *parents, last = where
        holder = view
        for key in parents:
            holder = holder[key]
        if value is DROP:
            del holder[last]
        else:
            holder[last] = value
    with pytest.raises(error, match=re.escape("not a mesh export: " + message)):
        render_html(view, tmp_path / "mesh.html")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kwargs, message", [
    ({"path": 3}, "path must be a str or os.PathLike, got int"),
    ({"title": b"t"}, "title must be a str or None, got bytes"),
])
def test_path_and_title_types_are_checked(tmp_path, export, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        render_html(export, **{"path": tmp_path / "m.html", **kwargs})


def test_memory_text_is_escaped_and_the_same_export_gives_the_same_page(export):
    page = render_page(hostile_export(export))
    assert page.count("<script") == 2 and page.lower().count("</script") == 2
    block = re.search(r'id="vk-data">(.*?)</script>', page).group(1)
    assert "<img" not in page and page.count('"pathUrl"') == 1 and not set("<>&\u2028\u2029") & set(block)
    data = json.loads(block)
    assert [n["summary"] for n in data["nodes"][:4]] == HOSTILE
    assert render_page(copy.deepcopy(hostile_export(export))) == page


@pytest.mark.parametrize("size", [1, 5, 8])
def test_layout_without_numpy_places_small_views_alike(mesh, monkeypatch, size):
    view = mesh.to_dict(max_nodes=size, max_edges_per_node=4)
    with_numpy = render_page(view)
    monkeypatch.setitem(sys.modules, "numpy", None)
    assert render_page(view) == with_numpy


# ------------------------------------------------------------ in a browser

@pytest.fixture(scope="session")
def browser():
    """Headless Chromium through chromedriver, as installed by the README's set-up
    (and CI's): the suite installs nothing."""
    def unavailable(why):
        if os.environ.get("CI") == "true":
            pytest.fail(why)
        pytest.skip(why)

    driver, chrome = shutil.which("chromedriver"), shutil.which("chromium")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        unavailable("selenium is not installed")
    if not (driver and chrome):
        unavailable("chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = chrome  # with both paths given, selenium fetches nothing
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,860"):
        options.add_argument(arg)
    # A sanitizer run preloads its runtime; the browser is not built for it.
    from devtools.postgres import SANITIZER_ENV
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_ENV}
    drv = webdriver.Chrome(service=Service(driver, env=env), options=options)
    drv.implicitly_wait(0)
    yield drv
    drv.quit()


def find(drv, css):
    return drv.find_elements("css selector", css)


def hover(drv, node_id):
    from selenium.webdriver import ActionChains

    circle = next(c for c in find(drv, ".node") if c.get_attribute("data-node-id") == node_id)
    ActionChains(drv).move_to_element(circle).perform()
    return find(drv, "#tooltip")[0].text


def distinct_colours(drv, png: bytes) -> int:
    return drv.execute_async_script("""
        const done = arguments[1], img = new Image();
        img.onload = () => {
          const c = document.createElement("canvas"); c.width = img.width; c.height = img.height;
          const g = c.getContext("2d"); g.drawImage(img, 0, 0);
          const d = g.getImageData(0, 0, c.width, c.height).data, seen = new Set();
          for (let i = 0; i < d.length; i += 4) seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
          done(seen.size);
        };
        img.src = "data:image/png;base64," + arguments[0];""", base64.b64encode(png).decode())


@pytest.mark.browser
def test_page_from_disk_draws_the_export_and_answers_hover_and_search(browser, tmp_path, export):
    render_html(export, tmp_path / "mesh.html")
    browser.get((tmp_path / "mesh.html").as_uri())
    assert sorted(c.get_attribute("data-node-id") for c in find(browser, ".node")) == sorted(
        n["id"] for n in export["nodes"])
    assert sorted((e.get_attribute("data-source"), e.get_attribute("data-target"))
                  for e in find(browser, ".edge")) == sorted((e["source"], e["target"]) for e in export["edges"])
    assert find(browser, "#count")[0].text.startswith(f"20 of {len(SESSIONS)} sessions")
    top = export["nodes"][0]
    tip = hover(browser, top["id"])
    for value in (top["summary"], top["author"], top["origin"], top["created_at"], str(top["centrality"]),
                  str(top["density"]), ", ".join(top["tags"])):
        assert value in tip
    find(browser, "#search")[0].send_keys("routing")
    expected = sum("routing" in n["summary"].lower() or any("routing" in t.lower() for t in n["tags"])
                   for n in export["nodes"])
    assert 0 < expected == len(find(browser, ".node.match"))
    assert distinct_colours(browser, browser.get_screenshot_as_png()) > 100
    browser.get("about:blank")
    assert distinct_colours(browser, browser.get_screenshot_as_png()) <= 2


@pytest.mark.browser
def test_memory_text_shows_as_text_and_never_runs_in_the_browser(browser, tmp_path, export):
    view = hostile_export(export)
    render_html(view, tmp_path / "hostile.html")
    browser.get((tmp_path / "hostile.html").as_uri())
    for node in view["nodes"][:3]:
        assert hover(browser, node["id"]).startswith(node["summary"])
    assert browser.execute_script("return window.pwned === undefined && document.images.length === 0")


@pytest.mark.browser
def test_served_page_draws_the_strongest_chain_between_two_clicked_sessions(browser, mesh, export):
    from selenium.webdriver.support.ui import WebDriverWait

    from demo.mesh_server import make_server

    ids = [n["id"] for n in export["nodes"]]
    source, target = max(((a, b) for a in ids for b in ids), key=lambda p: len(mesh.shortest_path(*p)))
    server = make_server(mesh, export, port=0, quiet=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/"
        with urllib.request.urlopen(url + "export.json") as response:
            assert json.load(response) == export
        browser.get(url)
        circles = {c.get_attribute("data-node-id"): c for c in find(browser, ".node")}
        circles[source].click()
        circles[target].click()
        WebDriverWait(browser, 10).until(lambda d: find(d, "#chain[data-state=done]"))
        drawn = [li.get_attribute("data-node-id") for li in find(browser, "#chain li")]
        assert len(drawn) >= 3 and drawn == mesh.shortest_path(source, target)
        assert {c.get_attribute("data-node-id") for c in find(browser, ".node.on-chain")} == set(drawn) & set(ids)
    finally:
        server.shutdown()
        server.server_close()
