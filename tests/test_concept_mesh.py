"""Concept mesh: graph construction, neighbour snapshots, scores, rankings, statistics."""

import dataclasses
import gc
import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vesperkit.graph import concept_mesh as cm
from vesperkit.utils.embeddings import _interpreted_cosine_similarity as host_cosine
from vesperkit.utils.text import normalize_items as host_normalize

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


def mem(id_, **kw):
    return {"id": id_, **kw}


def edge_dict(mesh, a, b):
    return mesh.nodes[a].neighbors[b]


# ---------------------------------------------------------------------------
# A plain interpreted model of graph construction and metrics, used as the
# oracle for the property tests below.


class RefNode:
    def __init__(self, memoria):
        self.session_id = memoria["id"]
        self.summary = memoria.get("summary", "")
        self.created_at = memoria.get("created_at", None)
        self.tags = host_normalize(memoria.get("tags", []))
        self.entities = host_normalize(memoria.get("entities", []))
        self.key_points = host_normalize(memoria.get("key_points", []))
        self.embedding = memoria.get("embedding", [])
        self.memoria = memoria
        self.density = 0.0
        self.centrality = 0.0
        self.neighbors = {}


class RefMesh:
    FIELDS = ("shared_tags", "shared_entities", "shared_key_points", "embedding_similarity", "weight")

    def __init__(self, similarity_threshold=0.75, tag_weight=1.0, entity_weight=1.2, key_point_weight=1.1,
                 embedding_weight=2.5):
        self.nodes, self.edges, self.total_conversations = {}, {}, 0
        self.similarity_threshold = float(similarity_threshold)
        self.tag_weight, self.entity_weight = float(tag_weight), float(entity_weight)
        self.key_point_weight, self.embedding_weight = float(key_point_weight), float(embedding_weight)

    def add_conversation(self, memoria):
        sid = memoria["id"]
        if sid not in self.nodes:
            self.nodes[sid] = RefNode(memoria)
        node = self.nodes[sid]
        self.total_conversations = len(self.nodes)
        for other_id, other in self.nodes.items():
            if other_id == node.session_id:
                continue
            self._update_edge(node.session_id, other_id, len(node.tags & other.tags),
                              len(node.entities & other.entities), len(node.key_points & other.key_points),
                              host_cosine(node.embedding, other.embedding))
        return node

    def _update_edge(self, a, b, st_, se, sk, sim):
        sim = float(sim)
        if a == b:
            return
        key = tuple(sorted((a, b)))
        edge = self.edges.get(key) or dict.fromkeys(self.FIELDS[:3], 0) | {"embedding_similarity": 0.0,
                                                                           "weight": 0.0}
        edge.update(shared_tags=st_, shared_entities=se, shared_key_points=sk)
        if sim > edge["embedding_similarity"]:
            edge["embedding_similarity"] = sim
        weight = st_ * self.tag_weight + se * self.entity_weight + sk * self.key_point_weight
        if sim >= self.similarity_threshold:
            weight += sim * self.embedding_weight
        edge["weight"] = weight
        if weight > 0:
            self.edges[key] = edge
            data = {f: edge[f] for f in self.FIELDS}
            self.nodes[a].neighbors[b] = data
            self.nodes[b].neighbors[a] = data
        else:
            self.edges.pop(key, None)
            self.nodes[a].neighbors.pop(b, None)
            self.nodes[b].neighbors.pop(a, None)


def ref_density(node):
    weights = [e["weight"] for e in node.neighbors.values()]
    return sum(weights) / len(weights) if weights else 0.0


def ref_centrality(node, total_conversations):
    weighted = sum(e["weight"] for e in node.neighbors.values())
    return (len(node.neighbors) * 0.4 + weighted * 0.6) / max(1, total_conversations)


def ref_entropy(values, n_bins=10):
    if len(values) <= 1:
        return 0.0
    max_value = max(values)
    if max_value <= 0:
        return 0.0
    counts = [0] * n_bins
    for value in values:
        counts[min(int(value / max_value * n_bins), n_bins - 1)] += 1
    entropy = 0.0
    for count in counts:
        if count > 0:
            p = count / len(values)
            entropy -= p * math.log(p)
    return entropy / math.log(n_bins)


def ref_stats(nodes, edges_count, total_conversations):
    """The statistics of a mesh's nodes, computed from their neighbour entries."""
    dens = [ref_density(n) for n in nodes.values()]
    cens = [ref_centrality(n, total_conversations) for n in nodes.values()]
    n = len(nodes)
    possible = n * (n - 1) / 2
    summaries = [node.summary for node in nodes.values()]

    def top(scores, limit):
        order = sorted(range(n), key=scores.__getitem__, reverse=True)[:limit]
        return [(summaries[i], scores[i]) for i in order]

    return {
        "total_nodes": n, "total_edges": edges_count, "total_conversations": total_conversations,
        "avg_density": sum(dens) / max(1, n), "avg_centrality": sum(cens) / max(1, n),
        "global_density": edges_count / possible if possible > 0 else 0.0,
        "density_entropy": ref_entropy(dens), "top_density": top(dens, 10), "top_centrality": top(cens, 10),
    }


def assert_same_graph(mesh, ref):
    assert list(mesh.nodes) == list(ref.nodes)
    for sid, node in mesh.nodes.items():
        r = ref.nodes[sid]
        assert (node.session_id, node.summary, node.created_at, node.tags, node.entities, node.key_points) == (
            r.session_id, r.summary, r.created_at, r.tags, r.entities, r.key_points)
        assert node.memoria is r.memoria and node.embedding == r.embedding
        assert (node.embedding is r.embedding) == ("embedding" in r.memoria)
        assert node.neighbors == r.neighbors and list(node.neighbors) == list(r.neighbors)
        for other, data in node.neighbors.items():
            assert list(data) == list(RefMesh.FIELDS)
            assert data is mesh.nodes[other].neighbors[sid]
    assert list(mesh.edges) == list(ref.edges)
    for key, edge in mesh.edges.items():
        assert dataclasses.asdict(edge) == ref.edges[key]
    assert mesh.total_conversations == ref.total_conversations


# ---------------------------------------------------------------------------
# Module layout and records


class TestLayout:
    def test_graph_node_defaults_are_fresh_objects(self):
        a, b = cm.GraphNode("a", "s"), cm.GraphNode("b", "s")
        assert (a.created_at, a.density, a.centrality) == (None, 0.0, 0.0)
        for field in ("tags", "entities", "key_points", "embedding", "memoria", "neighbors"):
            assert getattr(a, field) is not getattr(b, field)

    def test_graph_edge_defaults(self):
        assert dataclasses.astuple(cm.GraphEdge()) == (0, 0, 0, 0.0, 0.0)

    def test_initializer_converts_tuning_to_float(self):
        mesh = cm.ConceptMesh(1, True, 2, 3, 4)
        assert [type(getattr(mesh, a)) for a in ("similarity_threshold", "tag_weight")] == [float, float]
        assert list(vars(mesh))[:4] == ["nodes", "edges", "total_conversations", "last_rebuild"]


# ---------------------------------------------------------------------------
# Node creation


class TestNodeCreation:
    def test_first_session_creates_node_without_edges(self):
        mesh = cm.ConceptMesh()
        node = mesh.add_conversation(mem("a", tags=["x"]))
        assert mesh.nodes == {"a": node} and mesh.edges == {} and mesh.total_conversations == 1
        assert node.neighbors == {}

    def test_repeated_id_keeps_first_data_and_recomputes_edges(self):
        mesh = cm.ConceptMesh()
        first = mem("a", summary="first", tags=["x"])
        node = mesh.add_conversation(first)
        mesh.add_conversation(mem("b", tags=["x"]))
        mesh.tag_weight = 2.0
        again = mesh.add_conversation(mem("a", summary="second", tags=["y"]))
        assert again is node and node.summary == "first" and node.memoria is first
        assert mesh.total_conversations == 2
        assert mesh.edges[("a", "b")].weight == 2.0

    def test_defaults_apply_only_to_absent_keys(self):
        mesh = cm.ConceptMesh()
        absent = mesh.add_conversation(mem("a"))
        present_none = mesh._ensure_node(mem("b", summary=None, created_at=None, embedding=None))
        assert (absent.summary, absent.created_at, absent.embedding) == ("", None, [])
        assert (present_none.summary, present_none.embedding) == (None, None)

    def test_absent_embedding_is_a_new_list_per_node_and_given_one_is_kept(self):
        mesh = cm.ConceptMesh()
        vec = [1.0, 2.0]
        memoria = mem("c", embedding=vec)
        a, b, c = (mesh._ensure_node(m) for m in (mem("a"), mem("b"), memoria))
        assert a.embedding is not b.embedding
        assert c.embedding is vec and c.memoria is memoria

    def test_normalize_items_gets_raw_values_in_order(self, monkeypatch):
        seen = []
        monkeypatch.setattr(cm, "normalize_items", lambda v: seen.append(v) or {"n"})
        raw = ["T"]
        node = cm.ConceptMesh()._ensure_node(mem("a", tags=raw, key_points=None))
        assert seen[0] is raw and seen[1] == [] and seen[2] is None
        assert node.tags == node.entities == {"n"}

    def test_helper_may_change_the_dict_while_the_node_is_built(self, monkeypatch):
        memoria = mem("a", embedding=[1.0], summary="s")
        monkeypatch.setattr(cm, "normalize_items", lambda v: memoria.clear() or set())
        node = cm.ConceptMesh()._ensure_node(memoria)
        assert node.summary == "s" and node.embedding == [] and node.memoria is memoria

    class D(dict):
        pass

    @pytest.mark.parametrize("value, tname", [(None, "NoneType"), ([], "list"), (D(id="a"), "D")])
    def test_memoria_must_be_exactly_a_dict(self, value, tname):
        mesh = cm.ConceptMesh()
        for call in (mesh.add_conversation, mesh._ensure_node):
            with pytest.raises(TypeError) as exc:
                call(value)
            assert str(exc.value) == ARG_MSG.format("memoria", "dict", tname)
        assert mesh.nodes == {} and mesh.total_conversations == 0

    def test_missing_id_is_a_key_error_and_changes_nothing(self):
        mesh = cm.ConceptMesh()
        with pytest.raises(KeyError) as exc:
            mesh.add_conversation({"summary": "x"})
        assert exc.value.args == ("id",) and mesh.nodes == {}

    def test_normalize_failure_stores_no_node(self, monkeypatch):
        def boom(v):
            raise ValueError("bad items")

        monkeypatch.setattr(cm, "normalize_items", boom)
        mesh = cm.ConceptMesh()
        with pytest.raises(ValueError, match="bad items"):
            mesh.add_conversation(mem("a"))
        assert mesh.nodes == {} and mesh.total_conversations == 0


# ---------------------------------------------------------------------------
# Edge weights and neighbour snapshots


def two_nodes(**tuning):
    mesh = cm.ConceptMesh(**tuning)
    for sid in ("a", "b"):
        mesh._ensure_node(mem(sid))
    return mesh


class TestEdgeWeights:
    @pytest.mark.parametrize("sim, weight", [(0.8, 5.2), (0.7, 3.2)])
    def test_weight_formula(self, sim, weight):
        mesh = two_nodes()
        mesh._update_edge("a", "b", 2, 1, 0, sim)
        assert mesh.edges[("a", "b")].weight == pytest.approx(weight)
        assert mesh.edges[("a", "b")].weight == 2 * 1.0 + 1 * 1.2 + 0 * 1.1 + (sim * 2.5 if sim >= 0.75 else 0)

    def test_threshold_is_inclusive(self):
        mesh = two_nodes()
        mesh._update_edge("a", "b", 0, 0, 0, 0.75)
        assert mesh.edges[("a", "b")] == cm.GraphEdge(0, 0, 0, 0.75, 1.875)

    def test_zero_weight_creates_no_edge(self):
        mesh = two_nodes(embedding_weight=0)
        mesh._update_edge("a", "b", 0, 0, 0, 0.9)
        assert mesh.edges == {} and mesh.nodes["a"].neighbors == mesh.nodes["b"].neighbors == {}

    def test_negative_similarity_is_stored_as_zero(self):
        mesh = two_nodes()
        mesh._update_edge("b", "a", 1, 0, 0, -0.5)
        assert mesh.edges[("a", "b")] == cm.GraphEdge(1, 0, 0, 0.0, 1.0)

    def test_stored_similarity_is_the_maximum_but_weight_uses_the_latest(self):
        mesh = two_nodes()
        mesh._update_edge("a", "b", 0, 0, 0, 0.9)
        record = mesh.edges[("a", "b")]
        mesh._update_edge("a", "b", 1, 0, 0, 0.8)
        assert mesh.edges[("a", "b")] is record
        assert (record.embedding_similarity, record.weight) == (0.9, 1.0 + 0.8 * 2.5)
        assert edge_dict(mesh, "a", "b")["embedding_similarity"] == 0.9

    def test_counts_are_replaced_not_accumulated(self):
        mesh = two_nodes()
        mesh._update_edge("a", "b", 3, 2, 1, 0.0)
        mesh._update_edge("a", "b", 1, 0, 0, 0.0)
        assert dataclasses.astuple(mesh.edges[("a", "b")])[:3] == (1, 0, 0)

    def test_tuning_is_read_at_every_update(self):
        mesh = cm.ConceptMesh()
        mesh.add_conversation(mem("a", tags=["x"]))
        mesh.add_conversation(mem("b", tags=["x"]))
        record = mesh.edges[("a", "b")]
        old = edge_dict(mesh, "a", "b")
        mesh.tag_weight = 0
        mesh.add_conversation(mem("b"))
        assert mesh.edges == {} and mesh.nodes["a"].neighbors == mesh.nodes["b"].neighbors == {}
        assert record.weight == 0.0 and old["weight"] == 1.0

    def test_self_pair_is_a_no_op(self):
        mesh = two_nodes()
        mesh._update_edge("a", "a", 5, 5, 5, 1.0)
        assert mesh.edges == {} and mesh.nodes["a"].neighbors == {}

    def test_integer_tuning_values_follow_python_arithmetic(self):
        mesh = two_nodes()
        mesh.tag_weight, mesh.entity_weight, mesh.key_point_weight = 2, 3, 4
        mesh._update_edge("a", "b", 1, 1, 1, 0.0)
        assert mesh.edges[("a", "b")].weight == 9 and type(edge_dict(mesh, "a", "b")["weight"]) is int


class TestNeighbourSnapshots:
    def test_key_is_sorted_and_one_dict_serves_both_endpoints(self):
        mesh = cm.ConceptMesh()
        mesh.add_conversation(mem("b", tags=["x"]))
        mesh.add_conversation(mem("a", tags=["x"]))
        assert list(mesh.edges) == [("a", "b")]
        assert edge_dict(mesh, "a", "b") is edge_dict(mesh, "b", "a")
        assert list(edge_dict(mesh, "a", "b")) == list(RefMesh.FIELDS)

    def test_every_update_stores_a_fresh_snapshot(self):
        mesh = two_nodes()
        mesh._update_edge("a", "b", 1, 0, 0, 0.0)
        before = edge_dict(mesh, "a", "b")
        mesh._update_edge("a", "b", 2, 0, 0, 0.0)
        after = edge_dict(mesh, "a", "b")
        assert after is not before and before["shared_tags"] == 1 and after["shared_tags"] == 2
        assert after is edge_dict(mesh, "b", "a")

    def test_falling_weight_removes_edge_everywhere(self):
        mesh = two_nodes()
        mesh._update_edge("a", "b", 1, 0, 0, 0.0)
        mesh._update_edge("a", "b", 0, 0, 0, 0.0)
        assert mesh.edges == {} and mesh.nodes["a"].neighbors == mesh.nodes["b"].neighbors == {}


class TestEdgeArguments:
    @pytest.mark.parametrize("args, msg", [
        ((1, "b", 0, 0, 0, 0.0), ARG_MSG.format("session_a", "str", "int")),
        (("a", None, 0, 0, 0, 0.0), ARG_MSG.format("session_b", "str", "NoneType")),
        (("a", "b", "2", 0, 0, 0.0), ARG_MSG.format("shared_tags", "int", "str")),
        (("a", "b", 0, None, 0, 0.0), ARG_MSG.format("shared_entities", "int", "NoneType")),
        (("a", "b", 0, 0, [], 0.0), ARG_MSG.format("shared_key_points", "int", "list")),
    ])
    def test_argument_types(self, args, msg):
        mesh = two_nodes()
        with pytest.raises(TypeError) as exc:
            mesh._update_edge(*args)
        assert str(exc.value) == msg and mesh.edges == {}

    def test_similarity_without_float_conversion_is_a_type_error(self):
        with pytest.raises(TypeError):
            two_nodes()._update_edge("a", "b", 1, 0, 0, None)

    def test_numbers_are_converted(self):
        mesh = two_nodes()
        mesh._update_edge("a", "b", 2.9, True, False, 1)
        record = mesh.edges[("a", "b")]
        assert dataclasses.astuple(record) == (2, 1, 0, 1.0, 2.0 + 1.2 + 2.5)
        assert type(record.shared_tags) is int and type(record.embedding_similarity) is float

    def test_unknown_endpoint_fails_before_any_change(self):
        mesh = two_nodes()
        with pytest.raises(KeyError):
            mesh._update_edge("a", "zz", 1, 0, 0, 0.0)
        assert mesh.edges == {} and mesh.nodes["a"].neighbors == {}

    def test_non_str_session_id_fails_at_its_first_edge(self):
        mesh = cm.ConceptMesh()
        mesh.add_conversation(mem("a"))
        with pytest.raises(TypeError) as exc:
            mesh.add_conversation(mem(7))
        assert str(exc.value) == ARG_MSG.format("session_a", "str", "int")
        assert list(mesh.nodes) == ["a", 7] and mesh.total_conversations == 2
        with pytest.raises(TypeError) as exc:
            mesh.add_conversation(mem("c"))
        assert str(exc.value) == ARG_MSG.format("session_b", "str", "int")


# ---------------------------------------------------------------------------
# add_conversation: helpers looked up at call time, overrides, no rollback


class TestAddConversation:
    def test_cosine_is_looked_up_at_call_time_new_vector_first(self, monkeypatch):
        mesh = cm.ConceptMesh()
        vecs = {sid: [float(i), 1.0] for i, sid in enumerate("abcd")}
        for sid in "abc":
            mesh.add_conversation(mem(sid, embedding=vecs[sid]))
        calls = []
        monkeypatch.setattr(cm, "cosine_similarity", lambda x, y: calls.append((x, y)) or 0.0)
        mesh.add_conversation(mem("d", embedding=vecs["d"]))
        assert [(x is vecs["d"], y is vecs[s]) for (x, y), s in zip(calls, "abc")] == [(True, True)] * 3
        assert len(calls) == 3

    def test_vectors_changed_in_place_are_read_at_each_add(self):
        vecs = {"a": [1.0, 1.0, 0.5], "b": [2.0, 1.0, 0.5], "c": [3.0, 1.0, 0.5]}
        mesh, ref = cm.ConceptMesh(), RefMesh()
        for step in ["a", "b", ("a", [-1.0, 0.2, 0.1]), "c", ("c", [1.0, 1.0, 0.5]), "a", "b"]:
            if isinstance(step, tuple):
                vecs[step[0]][:] = step[1]
                continue
            memoria = mem(step, embedding=vecs[step])
            mesh.add_conversation(memoria)
            ref.add_conversation(memoria)
            assert_same_graph(mesh, ref)
        assert list(mesh.edges) == [("b", "c")]

    @pytest.mark.parametrize("drop", ["clear", "collect"])
    def test_what_the_mesh_keeps_of_vectors_goes_with_it(self, drop):
        vecs = [[float(i) + k / 7 for k in range(16)] for i in range(3)]
        held = [sys.getrefcount(v[0]) for v in vecs]
        mesh = cm.ConceptMesh()
        for i, v in enumerate(vecs):
            mesh.add_conversation(mem(str(i), embedding=v))
        if drop == "clear":
            mesh.clear()
        else:
            del mesh
            gc.collect()
        assert [sys.getrefcount(v[0]) for v in vecs] == held

    def test_vector_changed_during_the_loop_is_read_at_its_pair(self):
        vecs = {sid: [1.0, 0.0] for sid in "abcd"}

        class Mesh(cm.ConceptMesh):
            turn = False

            def _update_edge(self, a, b, *rest):
                if self.turn:
                    vecs["c"][:] = [0.0, 1.0]
                super()._update_edge(a, b, *rest)

        mesh = Mesh()
        for sid in "abcd":
            mesh.turn = sid == "d"
            mesh.add_conversation(mem(sid, embedding=vecs[sid]))
        assert sorted(mesh.nodes["d"].neighbors) == ["a", "b"]

    def test_failure_part_way_keeps_what_was_done(self, monkeypatch):
        mesh = cm.ConceptMesh()
        for sid in "abc":
            mesh.add_conversation(mem(sid))
        results = iter([0.9, None])
        monkeypatch.setattr(cm, "cosine_similarity", lambda x, y: next(results))
        with pytest.raises(TypeError):
            mesh.add_conversation(mem("d"))
        assert mesh.total_conversations == 4 and list(mesh.edges) == [("a", "d")]

    def test_helper_that_adds_nodes_mid_loop_is_stopped(self, monkeypatch):
        mesh = cm.ConceptMesh()
        mesh.add_conversation(mem("a"))

        def grow(x, y):
            mesh.nodes[f"n{len(mesh.nodes)}"] = cm.GraphNode("n", "")
            return 0.0

        monkeypatch.setattr(cm, "cosine_similarity", grow)
        with pytest.raises(RuntimeError, match="changed size during iteration"):
            mesh.add_conversation(mem("b"))

    def test_shared_counts_match_set_intersections(self, monkeypatch):
        sets = iter([{"p", "q", "r"}, {1, 2}, frozenset({"k"}), frozenset({"q", "r", "s", "t"}), {2, 3},
                     {"k", "z"}])
        monkeypatch.setattr(cm, "normalize_items", lambda v: next(sets))
        mesh = cm.ConceptMesh()
        mesh.add_conversation(mem("a"))
        mesh.add_conversation(mem("b"))
        assert dataclasses.astuple(mesh.edges[("a", "b")])[:3] == (2, 1, 1)

    def test_keys_that_change_the_sets_while_compared_do_no_harm(self, monkeypatch):
        walked = {"x"}

        class Collides:
            def __hash__(self):
                return hash("x")

            def __eq__(self, other):
                walked.clear()
                walked.update(range(50))
                return False

        sets = iter([{Collides(), "y"}, set(), set(), walked, set(), set()])
        monkeypatch.setattr(cm, "normalize_items", lambda v: next(sets))
        mesh = cm.ConceptMesh()
        mesh.add_conversation(mem("a"))
        mesh.add_conversation(mem("b"))
        assert len(walked) == 50

    def test_subclass_overrides_are_called(self):
        calls = []

        class Spy(cm.ConceptMesh):
            def _ensure_node(self, memoria):
                calls.append(("ensure", memoria["id"]))
                return super()._ensure_node(memoria)

            def _update_edge(self, *args):
                calls.append(("update",) + args)

        mesh = Spy()
        mesh.add_conversation(mem("a", tags=["x"]))
        mesh.add_conversation(mem("b", tags=["x"]))
        assert calls == [("ensure", "a"), ("ensure", "b"), ("update", "b", "a", 1, 0, 0, 0.0)]
        assert mesh.edges == {}

    def test_class_and_instance_replacements_are_honoured(self, monkeypatch):
        seen = []
        mesh = cm.ConceptMesh()
        mesh.add_conversation(mem("a"))
        original = cm.ConceptMesh._update_edge
        monkeypatch.setattr(cm.ConceptMesh, "_update_edge",
                            lambda self, *a: seen.append(("class",) + a) or original(self, *a))
        mesh.add_conversation(mem("b", tags=["x"]))
        mesh._update_edge = lambda *a: seen.append(("instance",) + a)
        mesh.add_conversation(mem("c"))
        assert [s[:3] for s in seen] == [("class", "b", "a"), ("instance", "c", "a"), ("instance", "c", "b")]


# ---------------------------------------------------------------------------
# Scores


def star(weights, total=None):
    """A hub "h" with one leaf per weight; neighbour entries set directly."""
    mesh = cm.ConceptMesh()
    hub = mesh._ensure_node(mem("h", summary="hub"))
    for i, w in enumerate(weights):
        leaf = mesh._ensure_node(mem(f"l{i}", summary=f"leaf{i}"))
        data = {"shared_tags": 1, "shared_entities": 0, "shared_key_points": 0, "embedding_similarity": 0.0,
                "weight": w}
        hub.neighbors[leaf.session_id] = leaf.neighbors["h"] = data
        mesh.edges[tuple(sorted(("h", leaf.session_id)))] = cm.GraphEdge(weight=w)
    mesh.total_conversations = len(mesh.nodes) if total is None else total
    return mesh


class TestScores:
    def test_density_and_centrality_of_a_node(self):
        mesh = star([1.0, 3.0], total=4)
        mesh.calculate_densities()
        mesh.calculate_centralities()
        hub = mesh.nodes["h"]
        assert (hub.density, hub.centrality) == (2.0, (2 * 0.4 + 4.0 * 0.6) / 4)

    def test_isolated_node_scores_zero_and_zero_count_divides_by_one(self):
        mesh = star([2.0], total=0)
        mesh._ensure_node(mem("lonely"))
        mesh.calculate_centralities()
        assert mesh.nodes["h"].centrality == 0.4 + 2.0 * 0.6
        cm.ConceptMesh._calculate_node_density(mesh.nodes["lonely"])
        assert (mesh.nodes["lonely"].density, mesh.nodes["lonely"].centrality) == (0.0, 0.0)

    def test_sums_are_the_interpreters_compensated_sums(self):
        mesh = star([0.1] * 10 + [1e16, 1.0, -1e16])
        mesh.get_stats()
        ws = [e["weight"] for e in mesh.nodes["h"].neighbors.values()]
        assert mesh.nodes["h"].density == sum(ws) / len(ws)

    @pytest.mark.parametrize("weights", [[1, 2], [1, 2.5], [True, 0.5]])
    def test_non_float_weights_follow_python_arithmetic(self, weights):
        mesh = star(weights)
        mesh.calculate_densities()
        mesh.calculate_centralities()
        hub = mesh.nodes["h"]
        assert (hub.density, hub.centrality) == (ref_density(hub), ref_centrality(hub, mesh.total_conversations))

    def test_for_variants_touch_only_listed_known_nodes(self):
        mesh = star([2.0, 4.0])
        assert mesh.calculate_densities_for(set()) is None
        mesh.calculate_densities_for({"l0", "nope"})
        mesh.calculate_centralities_for({"h"})
        assert [n.density for n in mesh.nodes.values()] == [0.0, 2.0, 0.0]
        assert mesh.nodes["h"].centrality == (2 * 0.4 + 6.0 * 0.6) / 3 and mesh.nodes["l0"].centrality == 0.0

    @pytest.mark.parametrize("value, tname", [(["h"], "list"), (frozenset(), "frozenset"), (None, "NoneType")])
    def test_for_variants_need_exactly_a_set(self, value, tname):
        mesh = star([1.0])
        for method in (mesh.calculate_densities_for, mesh.calculate_centralities_for):
            with pytest.raises(TypeError) as exc:
                method(value)
            assert str(exc.value) == ARG_MSG.format("node_ids", "set", tname)

    def test_entry_without_weight_fails_after_earlier_nodes(self):
        mesh = star([1.0, 2.0])
        mesh._ensure_node(mem("z"))
        mesh.nodes["l1"].neighbors["z"] = {"shared_tags": 1}
        mesh.nodes["z"].density = 9.0
        with pytest.raises(KeyError) as exc:
            mesh.get_stats()
        assert exc.value.args == ("weight",)
        assert [n.density for n in mesh.nodes.values()] == [1.5, 1.0, 0.0, 9.0]
        assert all(n.centrality == 0.0 for n in mesh.nodes.values())


class TestUnusualEntries:
    """Neighbour entries the one-walk reader does not take still score as Python would."""

    @pytest.mark.parametrize("entry", [
        {"weight": 2.0, "x": 1},
        {1: "one", "weight": 2.0},
        {"wei" + "ght": 2.0},
        {"weight": 2},
    ])
    def test_entry_shapes(self, entry):
        mesh = star([1.0, 4.0])
        mesh.nodes["h"].neighbors["l0"] = mesh.nodes["l0"].neighbors["h"] = entry
        assert mesh.get_stats() == ref_stats(mesh.nodes, len(mesh.edges), mesh.total_conversations)

    def test_node_without_neighbors_fails_after_earlier_nodes(self):
        mesh = star([1.0, 3.0])
        del mesh.nodes["l1"].neighbors
        with pytest.raises(AttributeError):
            mesh.calculate_densities()
        assert [mesh.nodes["h"].density, mesh.nodes["l0"].density] == [2.0, 1.0]

    def test_neighbors_mapping_that_is_not_a_dict(self):
        mesh = star([1.0, 3.0])

        class Mapping(dict):
            pass

        mesh.nodes["h"].neighbors = Mapping(mesh.nodes["h"].neighbors)
        assert mesh.get_stats() == ref_stats(mesh.nodes, len(mesh.edges), mesh.total_conversations)

    def test_class_level_neighbors_attribute_is_honoured(self, monkeypatch):
        mesh = star([1.0, 3.0])
        monkeypatch.setattr(cm.GraphNode, "neighbors", property(lambda node: {"x": {"weight": 5.0}}),
                            raising=False)
        mesh.calculate_densities()
        assert [n.density for n in mesh.nodes.values()] == [5.0, 5.0, 5.0]

    def test_large_mesh_with_shared_entries(self):
        # Enough entries for the pass to remember weights by edge dict.
        mesh = cm.ConceptMesh()
        nodes = [mesh._ensure_node(mem(f"n{i:03d}", summary=f"s{i % 7}")) for i in range(215)]
        for i, a in enumerate(nodes):
            for j in range(i + 1, len(nodes)):
                if (i * 7 + j * 3) % 5:
                    data = {"weight": ((i * 31 + j * 17) % 97) / 7 + 0.01}
                    a.neighbors[nodes[j].session_id] = nodes[j].neighbors[a.session_id] = data
        mesh.total_conversations = 215
        nodes[5].neighbors["n006"]["weight"] = 1e300
        assert sum(len(n.neighbors) for n in nodes) > 1 << 15
        assert mesh.get_stats() == ref_stats(mesh.nodes, 0, 215)
        mesh.calculate_densities()
        assert [n.density for n in nodes] == [ref_density(n) for n in nodes]

    def test_large_mesh_of_unshared_entries(self):
        # One-sided entries: twice as many distinct dicts as a symmetric mesh has.
        mesh = cm.ConceptMesh()
        hub = mesh._ensure_node(mem("h"))
        hub.neighbors.update((f"x{i}", {"weight": float(i % 13) + 0.5}) for i in range(40000))
        mesh.calculate_densities()
        assert hub.density == ref_density(hub)


class TestRankings:
    def test_ties_keep_first_seen_order(self):
        mesh = star([1.0, 1.0, 1.0])
        assert mesh.get_top_density_nodes() == [("hub", 1.0), ("leaf0", 1.0), ("leaf1", 1.0), ("leaf2", 1.0)]

    @pytest.mark.parametrize("limit, count", [(0, 0), (-1, 3), (2.9, 2), (True, 1), (10**30, 4), (-10**30, 0),
                                              (-4, 0)])
    def test_limit_has_slice_semantics(self, limit, count):
        mesh = star([3.0, 2.0, 1.0])
        assert mesh.get_top_centrality_nodes(limit) == mesh.get_top_centrality_nodes(100)[:count]

    def test_ranking_is_by_score_then_insertion(self):
        mesh = star([3.0, 2.0, 5.0])
        assert [s for s, _ in mesh.get_top_density_nodes(20)] == ["leaf2", "hub", "leaf0", "leaf1"]

    def test_nan_scores_rank_as_pythons_sort_does(self):
        mesh = star([1.0, float("nan"), 2.0])
        got = [s for s, _ in mesh.get_top_density_nodes()]
        nodes = list(mesh.nodes.values())
        assert got == [n.summary for n in sorted(nodes, key=lambda n: n.density, reverse=True)]

    @pytest.mark.parametrize("limit", ["3", None, [1]])
    def test_limit_must_be_numeric(self, limit):
        mesh = star([1.0])
        mesh.nodes["h"].density = 7.0
        with pytest.raises(TypeError) as exc:
            mesh.get_top_density_nodes(limit)
        assert str(exc.value) == ARG_MSG.format("limit", "int", type(limit).__name__)
        assert mesh.nodes["h"].density == 7.0

    def test_empty_mesh(self):
        assert cm.ConceptMesh().get_top_density_nodes() == cm.ConceptMesh().get_top_centrality_nodes(5) == []


class TestStats:
    def test_empty_mesh(self):
        mesh = cm.ConceptMesh()
        mesh.total_conversations = 3
        assert mesh.get_stats() == {
            "total_nodes": 0, "total_edges": 0, "total_conversations": 3, "avg_density": 0.0,
            "avg_centrality": 0.0, "global_density": 0.0, "density_entropy": 0.0, "top_density": [],
            "top_centrality": []}

    def test_three_nodes_two_edges(self):
        stats = star([1.0, 2.0]).get_stats()
        assert list(stats) == list(ref_stats({}, 0, 0))
        assert stats["global_density"] == 2 / 3 and stats["top_density"] == [("leaf1", 2.0), ("hub", 1.5), ("leaf0", 1.0)]

    def test_subclass_overrides_feed_the_statistics(self, monkeypatch):
        class Custom(cm.ConceptMesh):
            @staticmethod
            def _calculate_node_density(node):
                node.density = 1.0

            def get_top_centrality_nodes(self, limit=20):
                return ["custom", limit]

        mesh = Custom()
        for sid in "ab":
            mesh._ensure_node(mem(sid))
        monkeypatch.setattr(cm, "_density_entropy", lambda values: ("entropy", values))
        stats = mesh.get_stats()
        assert stats["avg_density"] == 1.0 and stats["density_entropy"] == ("entropy", [1.0, 1.0])
        assert stats["top_centrality"] == ["custom", 10] and stats["top_density"] == [("", 1.0), ("", 1.0)]


class TestDensityEntropy:
    @pytest.mark.parametrize("values", [[], [0.7], [0.0, 0.0], [2.0, 2.0, 2.0], [0.0, float("nan")]])
    def test_degenerate_inputs_give_zero(self, values):
        assert cm._density_entropy(values) == 0.0

    def test_one_value_per_bin_gives_one(self):
        assert cm._density_entropy([i / 10 + 0.05 for i in range(10)]) == pytest.approx(1.0)

    def test_two_values(self):
        assert cm._density_entropy([1.0, 2.0]) == math.log(2) / math.log(10)
        assert cm._density_entropy([1.0, 2.0], 4.9) == ref_entropy([1.0, 2.0], 4)

    @pytest.mark.parametrize("n_bins, exc", [(1, ZeroDivisionError), (0, IndexError), (-2, IndexError)])
    def test_bin_counts_that_cannot_work(self, n_bins, exc):
        with pytest.raises(exc):
            cm._density_entropy([1.0, 2.0], n_bins)

    @pytest.mark.parametrize("args, msg", [
        (((0.1, 0.2),), ARG_MSG.format("values", "list", "tuple")),
        (([0.1, 0.2], "10"), ARG_MSG.format("n_bins", "int", "str")),
    ])
    def test_argument_types(self, args, msg):
        with pytest.raises(TypeError) as exc:
            cm._density_entropy(*args)
        assert str(exc.value) == msg

    def test_values_below_zero_fall_in_the_first_bin(self):
        assert cm._density_entropy([-1.0, 1.0]) == cm._density_entropy([0.0, 1.0])
        assert cm._density_entropy([-50.0, -3.0, 1.0]) == cm._density_entropy([0.0, 0.0, 1.0])
        assert cm._density_entropy([float("-inf"), 1.0]) == cm._density_entropy([0.0, 1.0])

    def test_infinity_is_the_top_bin_and_nan_is_refused(self):
        assert cm._density_entropy([1.0, float("inf")]) == cm._density_entropy([0.0, 1.0])
        with pytest.raises(ValueError):
            cm._density_entropy([1.0, float("nan")])

    def test_huge_bin_counts_need_no_memory(self):
        assert cm._density_entropy([1.0, 2.0], 2**60) == pytest.approx(math.log(2) / math.log(2**60))


# ---------------------------------------------------------------------------
# Agreement with the interpreted model on random meshes

ids = st.sampled_from(["a", "b", "c", "d", "e", "f"])
items = st.lists(st.sampled_from(["x", "y", " Z", "z", "w", ""]), max_size=3)
# Sixteen wide, for the vector kernels: cosines with the first land on the
# threshold 0.75 or within a few units in the last place of it.
wide = [[1.0] + [0.0] * 15] + [[c, math.sqrt(1.0 - c * c)] + [0.0] * 14 for c in (0.75, 0.75 - 2e-16, 0.7499999)]
vectors = st.sampled_from([[], [1.0, 0.0], [0.9, 0.1], [0.6, 0.8], [0.0, 1.0], [-1.0, 0.2], [0.0, 0.0],
                           [1.0, 0.0, 0.0], [0.7, 0.7, 0.1], *wide]).map(list) | st.lists(
    st.floats(allow_nan=False) | st.floats(-1e-300, 1e-300) | st.sampled_from([1e300, -1e300]), min_size=1, max_size=3)
memorias = st.fixed_dictionaries({"id": ids}, optional={
    "tags": items, "entities": items, "key_points": items, "embedding": vectors,
    "summary": st.sampled_from(["s", "t", ""])})
tunings = st.tuples(st.sampled_from(["similarity_threshold", "tag_weight", "entity_weight", "key_point_weight",
                                     "embedding_weight"]),
                    st.sampled_from([0.0, 0.5, 0.75, 1.0, 2.5, -1.0]))
# The host changes the first component of the n-th added embedding in place.
changes = st.tuples(st.integers(0, 13), st.sampled_from([0.0, -1.0, 0.5, 0.9, 2.0, 1]))
steps = st.lists(st.one_of(memorias, tunings, changes), max_size=14)


@settings(max_examples=300, deadline=None)
@given(steps)
def test_construction_and_metrics_agree_with_the_model(ops):
    mesh, ref = cm.ConceptMesh(), RefMesh()
    added = []
    for op in ops:
        if isinstance(op, dict):
            added.append(op.get("embedding"))
            try:
                ref.add_conversation(op)
            except ZeroDivisionError:  # norms whose product underflows
                with pytest.raises(ZeroDivisionError):
                    mesh.add_conversation(op)
                continue
            assert mesh.add_conversation(op) is mesh.nodes[op["id"]]
        elif isinstance(op[0], str):
            setattr(mesh, *op)
            setattr(ref, *op)
        elif added and added[op[0] % len(added)]:
            # A float made now: it may take the address of one just freed.
            added[op[0] % len(added)][0] = op[1] if isinstance(op[1], int) else float(str(op[1]))
    assert_same_graph(mesh, ref)
    expected = ref_stats(mesh.nodes, len(mesh.edges), mesh.total_conversations)
    assert mesh.get_stats() == expected
    assert [n.density for n in mesh.nodes.values()] == [ref_density(n) for n in mesh.nodes.values()]


def same_number(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


weights = st.one_of(st.floats(min_value=1e-300, max_value=1e300), st.integers(1, 5),
                    st.floats(allow_nan=False, allow_infinity=False))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.lists(weights, max_size=6), max_size=6), st.integers(-2, 8))
def test_scores_agree_with_the_model_for_any_weights(per_hub, total):
    mesh = cm.ConceptMesh()
    for h, ws in enumerate(per_hub):
        hub = mesh._ensure_node(mem(f"h{h}", summary=f"h{h}"))
        for i, w in enumerate(ws):
            leaf = mesh._ensure_node(mem(f"h{h}l{i}", summary="leaf"))
            hub.neighbors[leaf.session_id] = leaf.neighbors[hub.session_id] = {"weight": w}
    mesh.total_conversations = total
    mesh.calculate_centralities()
    assert [n.centrality for n in mesh.nodes.values()] == [ref_centrality(n, total) for n in mesh.nodes.values()]
    dens = [ref_density(n) for n in mesh.nodes.values()]
    order = sorted(range(len(dens)), key=dens.__getitem__, reverse=True)[:-1]
    top = mesh.get_top_density_nodes(-1)
    assert [s for s, _ in top] == [list(mesh.nodes.values())[i].summary for i in order]
    assert all(same_number(d, dens[i]) for (_, d), i in zip(top, order))
    if all(d >= 0 and math.isfinite(d) for d in dens):
        assert cm._density_entropy(dens) == ref_entropy(dens)
