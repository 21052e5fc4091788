"""Robustness of the concept mesh.

Arbitrary and hostile arguments, helpers and callbacks that mutate the graph
while an operation runs, a replaced numpy, reference and memory leaks under
repetition. Every operation must end in a result or a Python exception, never a crash, and
leave the graph consistent.
"""

from __future__ import annotations

import gc

import pytest
from hypothesis import given
from hypothesis import strategies as st

import leakcheck
from hostile import FUZZ, Boom, DictSub, HugeLen, ListSub, SetSub, StrSub, deep_list, hostile, self_dict, self_list
from vesperkit.graph import concept_mesh as cm
from vesperkit.graph.concept_mesh import ConceptMesh, GraphNode



# ================================================================ hostile values


HOSTILE_DUNDERS = ["__eq__", "__hash__", "__float__", "__index__", "__int__", "__len__", "__bool__",
                   "__iter__", "__lt__", "__gt__", "__mul__", "__rmul__", "__add__", "__radd__", "__getitem__"]


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2 ** 63, max_value=2 ** 200),
    st.floats(allow_nan=True, allow_infinity=True), st.text(), st.just("\ud800"), st.binary(max_size=8),
    st.sampled_from([StrSub("a"), StrSub("\udfff"), 10 ** 400, -(10 ** 400), float("nan"), float("inf"),
                     -float("inf"), 1j, object(), HugeLen()]),
    st.sampled_from(HOSTILE_DUNDERS).map(lambda d: hostile(d)),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(ListSub),
        st.dictionaries(st.text(max_size=3), inner, max_size=4),
        st.dictionaries(st.text(max_size=3), inner, max_size=4).map(DictSub),
        st.frozensets(st.text(max_size=3), max_size=4), st.sets(st.text(max_size=3), max_size=4).map(SetSub),
        st.tuples(inner, inner),
    ),
    max_leaves=8,
) | st.builds(self_list) | st.builds(self_dict) | st.builds(deep_list)


# ================================================================ invariants


def check_invariants(mesh):
    """The graph's structural rules; fails with the first one broken."""
    nodes, edges = mesh.nodes, mesh.edges
    assert isinstance(nodes, dict) and isinstance(edges, dict)
    for key, record in edges.items():
        assert type(key) is tuple and len(key) == 2, key
        a, b = key
        assert type(a) is str and type(b) is str and a < b, key
        assert a in nodes and b in nodes, key
        na, nb = nodes[a].neighbors, nodes[b].neighbors
        assert b in na and a in nb, key
        assert na[b] is nb[a], key
    for sid, node in nodes.items():
        assert sid not in node.neighbors, sid
        for other in node.neighbors:
            assert (min(sid, other), max(sid, other)) in edges, (sid, other)


def populated(n=5):
    mesh = ConceptMesh()
    mesh.add_conversations([{"id": f"s{i}", "summary": f"summary {i}", "tags": ["t", f"x{i % 2}"],
                             "entities": ["e"] if i % 3 == 0 else [], "embedding": [1.0, float(i)]}
                            for i in range(n)])
    mesh.calculate_densities()
    mesh.calculate_centralities()
    return mesh


METHODS = {
    "_ensure_node": 1, "_update_edge": 6, "add_conversation": 1, "add_conversations": 1,
    "calculate_densities_for": 1, "_calculate_node_density": 1, "calculate_centralities_for": 1,
    "_calculate_node_centrality": 1, "get_top_density_nodes": 1, "get_top_centrality_nodes": 1,
    "to_dict": 3, "shortest_path": 2,
}
FUNCTIONS = {"_similarity_matrix": 1, "_density_entropy": 2, "_short": 2}


def _call(fn, args):
    """Any outcome but a crash or a SystemError (a C++ or C-API fault leaking out)."""
    try:
        fn(*args)
    except SystemError:
        raise
    except RecursionError:
        pass
    except (Exception, Boom):
        pass


# ================================================================ fuzzing


class TestArbitraryArguments:
    @pytest.mark.parametrize("name", sorted(METHODS))
    @FUZZ
    @given(data=st.data())
    def test_method_fails_cleanly_and_keeps_graph_consistent(self, name, data):
        mesh = populated()
        arity = METHODS[name]
        args = [data.draw(values) for _ in range(data.draw(st.integers(0, arity)))]
        _call(getattr(mesh, name), args)
        check_invariants(mesh)
        mesh.get_stats()
        mesh.to_dict()

    @pytest.mark.parametrize("name", sorted(FUNCTIONS))
    @FUZZ
    @given(data=st.data())
    def test_function_fails_cleanly(self, name, data):
        args = [data.draw(values) for _ in range(data.draw(st.integers(0, FUNCTIONS[name])))]
        _call(getattr(cm, name), args)

    @FUZZ
    @given(memorias=st.lists(st.dictionaries(
        st.sampled_from(["id", "summary", "created_at", "tags", "entities", "key_points", "embedding"]),
        values, max_size=7), max_size=5))
    def test_memory_dicts_of_any_values(self, memorias):
        mesh = populated(3)
        for m in memorias:
            _call(mesh.add_conversation, [m])
            check_invariants(mesh)
        _call(mesh.add_conversations, [memorias])
        check_invariants(mesh)
        for op in (mesh.calculate_densities, mesh.calculate_centralities, mesh.get_stats, mesh.to_dict):
            _call(op, [])
        _call(mesh.shortest_path, ["s0", "s2"])
        check_invariants(mesh)

    @FUZZ
    @given(data=st.data())
    def test_corrupted_attributes(self, data):
        """Any attribute of the mesh or a node replaced by any value: operations raise or succeed."""
        mesh = populated(4)
        target = data.draw(st.sampled_from(["mesh", "node", "neighbors"]))
        value = data.draw(values)
        attr = None
        if target == "mesh":
            attr = data.draw(st.sampled_from(["nodes", "edges", "similarity_threshold", "tag_weight",
                                              "entity_weight", "key_point_weight", "embedding_weight",
                                              "total_conversations"]))
            setattr(mesh, attr, value)
        elif target == "node":
            attr = data.draw(st.sampled_from(["session_id", "summary", "created_at", "tags", "entities",
                                              "key_points", "embedding", "memoria", "density", "centrality",
                                              "neighbors"]))
            setattr(mesh.nodes["s1"], attr, value)
        else:
            entry = data.draw(st.sampled_from(list(mesh.nodes["s1"].neighbors) or ["s0"]))
            mesh.nodes["s1"].neighbors[entry] = value
        for op, args in ((mesh.add_conversation, [{"id": "s1"}]), (mesh.add_conversation, [{"id": "new"}]),
                         (mesh.add_conversations, [[{"id": "s2"}, {"id": "z"}]]),
                         (mesh.calculate_densities, []), (mesh.calculate_centralities, []),
                         (mesh.calculate_densities_for, [{"s1", "s2"}]),
                         (mesh.calculate_centralities_for, [{"s1", "s2"}]),
                         (mesh.get_top_density_nodes, []), (mesh.get_top_centrality_nodes, []),
                         (mesh.get_stats, []), (mesh.to_dict, []), (mesh.to_dict, [2, 1, 3]),
                         (mesh.shortest_path, ["s0", "s3"]), (mesh.shortest_path, ["s1", "s3"])):
            _call(op, args)
            if target == "mesh" and attr not in ("nodes", "edges"):
                check_invariants(mesh)


class TestFailedWrites:
    class NoSet(dict):
        def __setitem__(self, key, value):
            raise Boom("set")

    @pytest.mark.parametrize("refusing", ["s0", "s2"])
    @pytest.mark.parametrize("counts", [(3, 0, 0), (0, 0, 0)])
    def test_pair_is_never_left_half_listed(self, refusing, counts):
        mesh = populated(4)
        node = mesh.nodes[refusing]
        node.neighbors = self.NoSet(node.neighbors)
        try:
            mesh._update_edge("s0", "s2", *counts, 0.0)
        except Boom:
            assert ("s0", "s2") not in mesh.edges
        check_invariants(mesh)

    def test_node_without_neighbours_fails_before_any_write(self):
        mesh = populated(4)
        del mesh.nodes["s2"].neighbors
        before = dict(mesh.edges)
        with pytest.raises(AttributeError):
            mesh._update_edge("s0", "s2", 5, 0, 0, 0.0)
        assert mesh.edges == before
        assert "s2" not in mesh.nodes["s0"].neighbors or ("s0", "s2") in mesh.edges


class TestContainerSubclasses:
    @staticmethod
    def _run(mesh):
        mesh.add_conversation({"id": "s2", "tags": ["x0"]})
        mesh.add_conversations([{"id": "z", "tags": ["t"], "embedding": [1.0, 3.0]}, {"id": "s1"}])
        mesh.calculate_densities()
        mesh.calculate_centralities()
        return [mesh.get_stats(), mesh.to_dict(4, 2, 5), mesh.shortest_path("s0", "z"),
                mesh.get_top_density_nodes(3), {k: vars(v) for k, v in mesh.edges.items()}]

    def test_dict_subclass_containers_give_the_plain_results(self):
        plain, sub = populated(6), populated(6)
        sub.nodes, sub.edges = DictSub(sub.nodes), DictSub(sub.edges)
        for node in sub.nodes.values():
            node.neighbors = DictSub(node.neighbors)
        assert self._run(sub) == self._run(plain)
        check_invariants(plain)


# ================================================================ callbacks that mutate


class TestMutatingCallbacks:
    @pytest.mark.parametrize("how", ["add_node", "drop_node", "clear_nodes", "replace_nodes", "neighbors",
                                     "tags", "edges"])
    @pytest.mark.parametrize("bulk", [False, True])
    def test_helpers_that_change_the_graph(self, monkeypatch, how, bulk):
        mesh = populated(6)
        real_cos, real_norm = cm.cosine_similarity, cm.normalize_items
        calls = [0]

        def mutate():
            calls[0] += 1
            if calls[0] % 2:
                return
            if how == "add_node":
                mesh.nodes[f"m{calls[0]}"] = GraphNode(f"m{calls[0]}", "", tags={"t"})
            elif how == "drop_node" and mesh.nodes:
                mesh.nodes.pop(next(iter(mesh.nodes)))
            elif how == "clear_nodes":
                mesh.nodes.clear()
            elif how == "replace_nodes":
                mesh.nodes = {}
            elif how == "neighbors":
                for node in mesh.nodes.values():
                    node.neighbors.clear()
                    node.neighbors["zz"] = {"weight": 1.0}
            elif how == "tags":
                for node in mesh.nodes.values():
                    node.tags = {"t", "u"} if calls[0] % 4 else ["t"]
                    node.embedding = None
            elif how == "edges":
                mesh.edges.clear()

        def cos(a, b):
            mutate()
            return real_cos(a, b)

        def norm(v):
            mutate()
            return real_norm(v)

        monkeypatch.setattr(cm, "cosine_similarity", cos)
        monkeypatch.setattr(cm, "normalize_items", norm)
        mems = [{"id": f"n{i}", "tags": ["t"], "embedding": [1.0, 0.5]} for i in range(4)]
        if bulk:
            _call(mesh.add_conversations, [mems])
        else:
            for m in mems:
                _call(mesh.add_conversation, [m])
        for op, args in ((mesh.calculate_densities, []), (mesh.calculate_centralities, []),
                         (mesh.get_stats, []), (mesh.to_dict, []), (mesh.shortest_path, ["s0", "n1"])):
            _call(op, args)

    @pytest.mark.parametrize("where", ["_update_edge", "_ensure_node"])
    def test_overrides_that_mutate_the_mesh(self, where):
        class Mesh(ConceptMesh):
            count = 0

            def _update_edge(self, *args):
                Mesh.count += 1
                if where == "_update_edge":
                    self.nodes.pop(next(iter(self.nodes)), None)
                    self.edges.clear()
                return super()._update_edge(*args)

            def _ensure_node(self, memoria):
                node = super()._ensure_node(memoria)
                if where == "_ensure_node":
                    self.nodes.clear()
                    self.nodes[memoria["id"]] = node
                    self.nodes["ghost"] = GraphNode("ghost", "", tags={"t"})
                return node

        mesh = Mesh()
        mems = [{"id": f"n{i}", "tags": ["t"], "embedding": [1.0, float(i)]} for i in range(5)]
        for m in mems:
            _call(mesh.add_conversation, [m])
        _call(mesh.add_conversations, [mems])
        for op in (mesh.calculate_densities, mesh.calculate_centralities, mesh.get_stats, mesh.to_dict):
            _call(op, [])

    @pytest.mark.parametrize("cls_name, attr", [
        ("GraphEdge", "weight"), ("GraphEdge", "shared_tags"), ("GraphEdge", "embedding_similarity"),
        ("GraphNode", "neighbors"), ("GraphNode", "density"), ("GraphNode", "centrality"),
        ("GraphNode", "session_id"), ("GraphNode", "tags"), ("GraphNode", "summary"), ("GraphNode", "memoria")])
    def test_record_attributes_whose_reading_empties_the_graph(self, monkeypatch, cls_name, attr):
        """A property put on a record class runs during the walks over `edges` and `nodes`."""
        cls = getattr(cm, cls_name)
        state = {"mesh": None, "fired": 0}

        def get(obj):
            mesh = state["mesh"]
            if mesh is not None:
                state["fired"] += 1
                if state["fired"] % 7 == 3:
                    for node in list(mesh.nodes.values()):
                        node.__dict__["neighbors"] = {}
                    mesh.edges.clear()
                    mesh.nodes.clear()
                    gc.collect()
            return obj.__dict__[attr]

        monkeypatch.setattr(cls, attr, property(get, lambda obj, v: obj.__dict__.__setitem__(attr, v)),
                            raising=False)
        for name, args in (("to_dict", []), ("to_dict", [5, 2, 10]), ("shortest_path", ["s0", "s29"]),
                           ("calculate_densities", []), ("calculate_centralities", []),
                           ("calculate_densities_for", [{"s1", "s2"}]), ("get_stats", []),
                           ("get_top_density_nodes", [4]), ("get_top_centrality_nodes", [4]),
                           ("add_conversation", [{"id": "s3"}]), ("add_conversations", [[{"id": "s4"}]])):
            state["mesh"] = None
            mesh = populated(30)
            state["mesh"], state["fired"] = mesh, 0
            _call(getattr(mesh, name), args)
            del mesh
        state["mesh"] = None

    @pytest.mark.parametrize("helper", ["normalize_items", "cosine_similarity"])
    @pytest.mark.parametrize("bulk", [False, True])
    def test_helpers_that_reenter_the_mesh(self, monkeypatch, helper, bulk):
        """A helper that adds sessions and reads the graph while it is being built."""
        mesh = populated(4)
        real = getattr(cm, helper)
        depth = [0]

        def reentrant(*args):
            if depth[0] < 3:
                depth[0] += 1
                try:
                    mesh.add_conversation({"id": f"r{depth[0]}", "tags": ["t"], "embedding": [1.0, 2.0]})
                    mesh.add_conversations([{"id": f"q{depth[0]}", "tags": ["t"]}])
                    mesh.calculate_centralities()
                    mesh.to_dict(3, 1, 5)
                    mesh.shortest_path("s0", "s3")
                finally:
                    depth[0] -= 1
            return real(*args)

        monkeypatch.setattr(cm, helper, reentrant)
        mems = [{"id": f"n{i}", "tags": ["t"], "embedding": [1.0, float(i)]} for i in range(3)]
        try:
            if bulk:
                mesh.add_conversations(mems)
            else:
                for m in mems:
                    mesh.add_conversation(m)
        except RuntimeError as exc:  # a node added under the loop over `nodes`
            assert "changed size during iteration" in str(exc)
        check_invariants(mesh)

    def test_tags_whose_comparison_mutates_the_sets(self):
        mesh = populated(3)

        class Sly:
            def __init__(self, victim):
                self.victim = victim

            def __hash__(self):
                return 7

            def __eq__(self, other):
                self.victim.clear()
                self.victim.update(f"v{i}" for i in range(50))
                return False

        a, b = mesh.nodes["s0"], mesh.nodes["s1"]
        a.tags = {Sly(b.tags) for _ in range(8)}
        b.tags = {Sly(a.tags) for _ in range(8)}
        _call(mesh.add_conversation, [{"id": "s0"}])
        _call(mesh.add_conversations, [[{"id": "s0"}, {"id": "s1"}]])
        check_invariants(mesh)
        for op in (mesh.get_stats, mesh.to_dict):
            _call(op, [])

    def test_rankings_with_mutating_comparisons(self):
        mesh = populated(6)

        class Shifty(float):
            def __lt__(self, other):
                mesh.nodes.clear()
                mesh.edges.clear()
                return True

            __gt__ = __le__ = __ge__ = __eq__ = __lt__
            __hash__ = float.__hash__

        for node in list(mesh.nodes.values()):
            node.density = Shifty(1.0)
            node.centrality = Shifty(2.0)
            node.entities = {hostile("__lt__"), hostile("__lt__")}
        for op, args in ((mesh.get_top_density_nodes, [3]), (mesh.get_top_centrality_nodes, [3]),
                         (mesh.get_stats, []), (mesh.to_dict, [3, 2, 10])):
            _call(op, args)

    @pytest.mark.parametrize("weight", [float("nan"), -1.0, float("inf"), None, "w", 10 ** 400,
                                        hostile("__float__"), hostile("__lt__")])
    def test_odd_weights_in_neighbour_entries(self, weight):
        mesh = populated(5)
        for node in mesh.nodes.values():
            for entry in node.neighbors.values():
                entry["weight"] = weight
        for op, args in ((mesh.shortest_path, ["s0", "s4"]), (mesh.calculate_densities, []),
                         (mesh.calculate_centralities, []), (mesh.get_stats, []), (mesh.to_dict, [])):
            _call(op, args)

    def test_weight_whose_conversion_mutates_the_graph(self):
        mesh = populated(6)

        class W:
            def __float__(self):
                for node in mesh.nodes.values():
                    node.neighbors.clear()
                mesh.nodes.clear()
                return 1.0

            def __lt__(self, other):
                return float(self) < other

            __gt__ = lambda self, other: float(self) > other  # noqa: E731

        for node in list(mesh.nodes.values()):
            for entry in node.neighbors.values():
                entry["weight"] = W()
        nodes = dict(mesh.nodes)
        for op, args in ((mesh.shortest_path, ["s0", "s5"]), (mesh.calculate_densities, []),
                         (mesh.calculate_centralities, []), (mesh.get_stats, []), (mesh.to_dict, [])):
            mesh.nodes = dict(nodes)
            _call(op, args)

    @pytest.mark.parametrize("fault", ["raise", "none", "wrong_shape", "mutate"])
    def test_numpy_replaced_by_a_misbehaving_object(self, monkeypatch, fault):
        import numpy

        mesh = populated(3)

        class FakeNp:
            float64 = numpy.float64
            inf = numpy.inf

            def __getattr__(self, name):
                real = getattr(numpy, name)
                if not callable(real):
                    return real

                def fn(*args, **kwargs):
                    if fault == "raise":
                        raise Boom(name)
                    if fault == "none":
                        return None
                    if fault == "wrong_shape":
                        return numpy.zeros((1,))
                    mesh.nodes.clear()
                    return real(*args, **kwargs)

                return fn

        monkeypatch.setattr(cm, "np", FakeNp())
        mems = [{"id": f"n{i}", "embedding": [1.0, float(i)]} for i in range(4)]
        _call(mesh.add_conversations, [mems])
        _call(cm._similarity_matrix, [[[1.0, 2.0], [2.0, 1.0], [], None]])
        if fault == "wrong_shape":  # rows are written straight into what np.empty returns
            with pytest.raises(TypeError, match="requested size"):
                cm._similarity_matrix([[1.0, 2.0, 3.0]] * 40)
        if fault != "mutate":  # the replacement itself drops the nodes
            check_invariants(mesh)

    @pytest.mark.parametrize("build", [
        lambda v: cm._similarity_matrix([[1.0, 2.0, 3.0], v, [0.5, 0.5, 0.5]]),
        lambda v: ConceptMesh().add_conversations([{"id": "a", "embedding": [1.0, 2.0, 3.0]}, {"id": "b", "embedding": v},
                                                   {"id": "c", "embedding": [0.5, 0.5, 0.5]}]),
    ])
    def test_impossible_vector_size_is_a_memory_error(self, monkeypatch, build):
        monkeypatch.setattr(cm, "np", None)
        with pytest.raises((MemoryError, OverflowError)):
            build(HugeLen())

    def test_similarity_results_of_any_kind(self, monkeypatch):
        results = iter([float("nan"), None, 10 ** 400, "x", hostile("__float__"), -float("inf"), 2.0] * 20)
        monkeypatch.setattr(cm, "cosine_similarity", lambda a, b: next(results))
        mesh = populated(3)
        for i in range(6):
            _call(mesh.add_conversation, [{"id": f"q{i}", "tags": ["t"]}])
            check_invariants(mesh)


# ================================================================ leaks


def _leak_ops():
    mesh = populated(8)
    mems = [{"id": f"s{i}", "tags": ["t"], "embedding": [1.0, float(i)]} for i in range(4)]
    node = mesh.nodes["s1"]
    ids = {"s1", "s2"}

    class Sub(ConceptMesh):
        def _update_edge(self, *args):
            return super()._update_edge(*args)

    sub = Sub()
    sub.add_conversations(mems)
    odd = populated(6)  # int weights and a non-float record weight take the interpreted paths
    for node_ in odd.nodes.values():
        for entry in node_.neighbors.values():
            entry["weight"] = 2
    for record in odd.edges.values():
        record.weight = 3
    return {
        "init": (lambda: ConceptMesh(0.5, 1, 2, 3, 4), 10_000),
        "_ensure_node": (lambda: mesh._ensure_node(mems[0]), 10_000),
        "_update_edge": (lambda: mesh._update_edge("s1", "s2", 1, 0, 2, 0.9), 10_000),
        "_update_edge_removes": (lambda: (mesh._update_edge("s6", "s7", 0, 0, 0, 0.0),
                                          mesh._update_edge("s6", "s7", 1, 0, 0, 0.0)), 10_000),
        "add_conversation": (lambda: mesh.add_conversation(mems[1]), 2_000),
        "add_conversations": (lambda: mesh.add_conversations(mems), 1_000),
        "calculate_densities": (mesh.calculate_densities, 10_000),
        "calculate_densities_for": (lambda: mesh.calculate_densities_for(ids), 10_000),
        "_calculate_node_density": (lambda: ConceptMesh._calculate_node_density(node), 10_000),
        "calculate_centralities": (mesh.calculate_centralities, 10_000),
        "calculate_centralities_for": (lambda: mesh.calculate_centralities_for(ids), 10_000),
        "_calculate_node_centrality": (lambda: mesh._calculate_node_centrality(node), 10_000),
        "get_top_density_nodes": (lambda: mesh.get_top_density_nodes(3), 10_000),
        "get_top_centrality_nodes": (lambda: mesh.get_top_centrality_nodes(3), 10_000),
        "get_stats": (mesh.get_stats, 5_000),
        "to_dict": (lambda: mesh.to_dict(5, 2, 4), 2_000),
        "shortest_path": (lambda: mesh.shortest_path("s0", "s7"), 10_000),
        "shortest_path_missing": (lambda: mesh.shortest_path("s0", "nope"), 10_000),
        "clear": (lambda: ConceptMesh().clear(), 10_000),
        "_similarity_matrix": (lambda: cm._similarity_matrix([[1.0, 2.0], [2.0, 1.0], []]), 5_000),
        "_density_entropy": (lambda: cm._density_entropy([0.1, 0.5, 0.9], 4), 10_000),
        "_short": (lambda: cm._short("abcdefgh", 4), 10_000),
        "add_conversations_without_numpy": (lambda: _without_numpy(mesh.add_conversations, mems), 1_000),
        "subclass_add_conversation": (lambda: sub.add_conversation(mems[2]), 2_000),
        "generic_weights": (lambda: (odd.calculate_densities(), odd.calculate_centralities(), odd.get_stats(),
                                     odd.to_dict(3, 1, 4), odd.shortest_path("s0", "s5")), 2_000),
        "errors": (lambda: (_call(mesh._update_edge, ["s1", 2, 1, 1, 1, 1.0]),
                            _call(mesh.add_conversation, [{"id": "s1", "x": 1} | {"id": 5}]),
                            _call(mesh.to_dict, ["x"]), _call(cm._short, [1, 2]),
                            _call(mesh.shortest_path, ["s0", 3])), 5_000),
    }, (mesh, node, ids, sub, odd, *mems)


def _without_numpy(fn, *args):
    saved, cm.np = cm.np, None
    try:
        return fn(*args)
    finally:
        cm.np = saved


@pytest.mark.parametrize("name", sorted(_leak_ops()[0]))
def test_repeated_operation_keeps_memory_flat(name):
    """Each operation repeated (10,000 times; fewer for the ones that build or export a graph)."""
    ops, watched = _leak_ops()
    op, iterations = ops[name]
    leakcheck.assert_flat(op, iterations, watch=watched)


def test_numpy_less_matrix_keeps_memory_flat(monkeypatch):
    monkeypatch.setattr(cm, "np", None)
    vectors = [[1.0, 2.0], [2.0, 1.0], [], [0.0, 0.0]]
    leakcheck.assert_flat(lambda: cm._similarity_matrix(vectors), 5_000, watch=vectors)
