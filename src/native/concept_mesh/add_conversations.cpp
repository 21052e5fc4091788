// add_conversations: a list of sessions added at once and every edge of the
// mesh recomputed, the pairs scored a block of similarities at a time. The
// batch never holds more than one block of similarities, so its memory grows
// with the number of sessions times the vector width.
#include "common/args.hpp"
#include "concept_mesh/keytable.hpp"
#include "concept_mesh/scaled_vectors.hpp"

#include <array>

namespace vk::mesh {

namespace {

/// The nodes of the mesh as the pair loop reads them.
struct NodeFields {
    std::vector<object> ids, tags, entities, key_points;
};

/// Items of one kind (tags, entities or key points): each node's item
/// numbers, and for each item the ascending list of nodes holding it.
struct InvertedIndex {
    std::vector<std::size_t> node_start;   // node i's items: items[node_start[i] .. node_start[i+1])
    std::vector<std::int32_t> items;
    std::vector<std::size_t> post_start;   // item t's nodes: postings[post_start[t] .. post_start[t+1])
    std::vector<std::int32_t> postings;
    std::vector<std::size_t> cursor;       // next posting of item t not yet passed by the row walk

    /// False when a set is not a plain set of str (the general loop then
    /// intersects the objects themselves, with Python's semantics).
    bool build(const std::vector<object> &sets) {
        std::size_t n = sets.size();
        KeyTable table(1024);
        node_start.assign(n + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            PyObject *s = sets[i].ptr();
            if (!PyAnySet_CheckExact(s)) return false;
            node_start[i] = items.size();
            bool all_str = true;
            for_each(sets[i], [&](handle item) {
                all_str = PyUnicode_CheckExact(item.ptr());
                bool inserted = false;
                if (all_str) items.push_back(table.intern(item, inserted));
                return all_str;
            });
            if (!all_str) return false;
        }
        node_start[n] = items.size();
        std::size_t t_count = table.size();
        post_start.assign(t_count + 1, 0);
        for (std::int32_t t : items) ++post_start[static_cast<std::size_t>(t) + 1];
        for (std::size_t t = 0; t < t_count; ++t) post_start[t + 1] += post_start[t];
        postings.assign(items.size(), 0);
        cursor.assign(post_start.begin(), post_start.end() - 1);
        std::vector<std::size_t> fill(post_start.begin(), post_start.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t p = node_start[i]; p < node_start[i + 1]; ++p)
                postings[fill[static_cast<std::size_t>(items[p])]++] = static_cast<std::int32_t>(i);
        return true;
    }
};

/// Reads `self.edges` and tells whether a pair of nodes has an edge, as the
/// skip test asks `key in self.edges` with the key of the two ids sorted.
class EdgeProbe {
public:
    explicit EdgeProbe(handle self) : self_(self) { refresh(); }

    /// Re-reads `self.edges`: an overridden edge update may have replaced it.
    void refresh() { edges_ = get_attr(self_, names.edges); }

    bool contains(handle low, handle high) const {
        object key = steal_or_raise(PyTuple_Pack(2, low.ptr(), high.ptr()));
        int found = PyDict_CheckExact(edges_.ptr()) ? PyDict_Contains(edges_.ptr(), key.ptr())
                                                    : PySequence_Contains(edges_.ptr(), key.ptr());
        return check(found) == 1;
    }

    handle edges() const { return edges_; }

private:
    handle self_;
    object edges_;
};

struct Counts {
    std::int32_t tags = 0, entities = 0, key_points = 0;
    bool any() const { return tags != 0 || entities != 0 || key_points != 0; }
};

/// The pair loop for plain data: session ids are distinct str and the item
/// sets plain sets of str. Pairs are visited in (i, j) order, but only the
/// pairs that share an item, pass the threshold or already have an edge are
/// looked at individually.
class PlainPairLoop {
public:
    PlainPairLoop(handle self, handle np, ScaledVectors &scaled, const NodeFields &f, const Threshold &threshold,
                  std::array<InvertedIndex, 3> &index, const std::vector<std::int32_t> &rank)
        : self_(self), np_(np), vectors_(scaled), f_(f), threshold_(threshold), index_(index), rank_(rank),
          n_(f.ids.size()), counts_(n_), mark_(n_, 0), probe_(self) {
        native_ = is_exact_with_own_method<def::_update_edge>(self, state.mesh_type);
    }

    /// Lists, for every pair i < j that has an edge now, j under i. Only valid
    /// when nothing but this loop's own updates changes `edges` meanwhile (the
    /// module's own edge update touches the key of its own pair only); false
    /// when `edges` holds keys that are not pairs of str.
    bool prescan(const KeyTable &ids) {
        handle edges = probe_.edges();
        if (!native_ || !PyDict_CheckExact(edges.ptr())) return false;
        existing_.assign(n_, {});
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(edges.ptr(), &pos, &key, &value)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return false;
            plain_records_ &= Py_IS_TYPE(value, reinterpret_cast<PyTypeObject *>(state.graph_edge_type.ptr()));
            PyObject *a = PyTuple_GET_ITEM(key, 0), *b = PyTuple_GET_ITEM(key, 1);
            if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return false;
            // Only keys in sorted order can equal the key the test forms.
            if (PyUnicode_Compare(a, b) >= 0) continue;
            std::int32_t ia = ids.find(handle(a)), ib = ids.find(handle(b));
            if (ia < 0 || ib < 0) continue;
            auto lo = static_cast<std::size_t>(std::min(ia, ib));
            existing_[lo].push_back(std::max(ia, ib));
        }
        for (auto &list : existing_) std::sort(list.begin(), list.end());
        prescanned_ = true;
        return true;
    }

    /// Reads once what the edge updates read from the mesh, when nothing but
    /// the module's own updates of plain records runs during the loop (so
    /// nothing can change those values): float tuning, plain dicts, records
    /// of the module's own type, each node stored under its own id, and
    /// numpy's own functions (or none) between the updates.
    void hoist(handle nodes, handle node_list) {
        if (!prescanned_ || !plain_records_ || !PyDict_CheckExact(nodes.ptr()) || !(np_.is_none() || plain_numpy(np_)))
            return;
        reads_.self = self_;
        reads_.edges = nb::borrow(probe_.edges());
        object *tuning[] = {&reads_.tag_weight, &reads_.entity_weight, &reads_.key_point_weight,
                            &reads_.similarity_threshold, &reads_.embedding_weight};
        handle tuning_names[] = {names.tag_weight, names.entity_weight, names.key_point_weight,
                                 names.similarity_threshold, names.embedding_weight};
        for (std::size_t k = 0; k < 5; ++k) {
            // One that is absent is left for the update to read (and fail on) when it needs it.
            *tuning[k] = get_optional_attr(self_, tuning_names[k]);
            if (!tuning[k]->is_valid() || !PyFloat_CheckExact(tuning[k]->ptr())) return;
        }
        for (std::size_t i = 0; i < n_; ++i) {
            handle node(PyList_GET_ITEM(node_list.ptr(), static_cast<Py_ssize_t>(i)));
            if (!dict_get(nodes, f_.ids[i]).is(node) || !PyDict_CheckExact(get_attr(node, names.neighbors).ptr()))
                return;
            reads_.nodes.push_back(nb::borrow(node));
        }
        reads_.ids = f_.ids;
        hoisted_ = true;
    }

    void run() {
        std::vector<std::int32_t> candidates;
        for (std::size_t i = 0; i < n_; ++i) {
            candidates.clear();
            auto add = [&](std::size_t j) {
                if (!mark_[j]) {
                    mark_[j] = 1;
                    candidates.push_back(static_cast<std::int32_t>(j));
                }
            };
            count_shared(i, add);
            bool has_row = vectors_.prepare_row(i, np_);
            if (threshold_.zero_passes()) {
                // Every similarity of 0.0 passes: each later node is a candidate
                // unless its similarity is computed and fails.
                for (std::size_t j = i + 1; j < n_; ++j)
                    if (!has_row || threshold_.passes(vectors_.similarity(i, j))) add(j);
            } else if (has_row) {
                scan_similar(i, add);
            }
            if (prescanned_) {
                for (std::int32_t j : existing_[i]) add(static_cast<std::size_t>(j));
                std::sort(candidates.begin(), candidates.end());
                for (std::int32_t j : candidates) update(i, static_cast<std::size_t>(j));
            } else {
                // Interleaved with the updates: an overridden edge update may
                // change `edges` between two tests.
                for (std::size_t j = i + 1; j < n_; ++j)
                    if (mark_[j] || has_edge(i, j)) update(i, j);
            }
            for (std::int32_t j : candidates) {
                counts_[static_cast<std::size_t>(j)] = Counts{};
                mark_[static_cast<std::size_t>(j)] = 0;
            }
        }
    }

private:
    template <typename Add>
    void count_shared(std::size_t i, Add &add) {
        for (std::size_t kind = 0; kind < 3; ++kind) {
            InvertedIndex &ix = index_[kind];
            for (std::size_t p = ix.node_start[i]; p < ix.node_start[i + 1]; ++p) {
                auto t = static_cast<std::size_t>(ix.items[p]);
                // Rows are walked in order, so the cursor of every item of
                // row i stands on i itself: the nodes after it are the later ones.
                std::size_t start = ++ix.cursor[t];
                for (std::size_t q = start; q < ix.post_start[t + 1]; ++q) {
                    auto j = static_cast<std::size_t>(ix.postings[q]);
                    add(j);
                    Counts &c = counts_[j];
                    (kind == 0 ? c.tags : kind == 1 ? c.entities : c.key_points) += 1;
                }
            }
        }
    }

    template <typename Add>
    void scan_similar(std::size_t i, Add &add) {
        auto u = static_cast<std::size_t>(vectors_.local_of(i));
        Group &g = vectors_.group(static_cast<std::size_t>(vectors_.group_of(i)));
        // row[c] is the dot product with row g.r0 + c.
        const double *row = g.out + (u - g.r0) * g.ld;
        std::size_t first = u + 1 - g.r0, end = g.count() - g.r0;
        const std::size_t *pos = g.row_pos.data() + g.r0;
        const double *inv = g.inv_norms.data() + g.r0;
        double norm = g.norms[u];
        if (threshold_.exact()) {
            // A product with the inverse norms is within a few ulps of the
            // similarity: it screens, and the exact quotient decides.
            double cut = threshold_.cut();
            double screen = cut - 1e-9 * std::max(1.0, std::fabs(cut));
            double inv_u = g.inv_norms[u];
            for (std::size_t c = first; c < end; ++c)
                if (row[c] * inv_u * inv[c] >= screen && row[c] / (norm * g.norms[g.r0 + c]) >= cut) add(pos[c]);
        } else {
            for (std::size_t c = first; c < end; ++c)
                if (threshold_.passes(row[c] / (norm * g.norms[g.r0 + c]))) add(pos[c]);
        }
    }

    bool has_edge(std::size_t i, std::size_t j) const {
        bool ordered = rank_[i] < rank_[j];
        return probe_.contains(ordered ? f_.ids[i] : f_.ids[j], ordered ? f_.ids[j] : f_.ids[i]);
    }

    void update(std::size_t i, std::size_t j) {
        const Counts &c = counts_[j];
        double sim = vectors_.similarity(i, j);
        object st = make_int(c.tags), se = make_int(c.entities), sk = make_int(c.key_points);
        if (hoisted_) {
            apply_edge_update(reads_, i, j, rank_[i] < rank_[j], st, se, sk, sim);
        } else if (native_) {
            apply_edge_update(self_, f_.ids[i], f_.ids[j], st, se, sk, sim);
        } else {
            call_method(self_, names._update_edge, f_.ids[i], f_.ids[j], st, se, sk, make_float(sim));
            probe_.refresh();
        }
    }

    handle self_, np_;
    ScaledVectors &vectors_;
    const NodeFields &f_;
    const Threshold &threshold_;
    std::array<InvertedIndex, 3> &index_;
    const std::vector<std::int32_t> &rank_;
    std::size_t n_;
    std::vector<Counts> counts_;
    std::vector<unsigned char> mark_;
    EdgeProbe probe_;
    bool native_ = false;
    bool prescanned_ = false;
    bool plain_records_ = true;
    bool hoisted_ = false;
    MeshReads reads_;
    std::vector<std::vector<std::int32_t>> existing_;
};

/// The pair loop for anything else (ids that are not distinct str, item
/// collections that are not plain sets of str): every pair is tested with
/// Python's own operations, in order, so errors arise where they belong.
void general_pair_loop(handle self, handle np, ScaledVectors &scaled, const NodeFields &f, const Threshold &threshold) {
    std::size_t n = f.ids.size();
    for (std::size_t i = 0; i < n; ++i) {
        scaled.prepare_row(i, np);
        for (std::size_t j = i + 1; j < n; ++j) {
            Py_ssize_t st = intersection_size(f.tags[i], f.tags[j]);
            Py_ssize_t se = intersection_size(f.entities[i], f.entities[j]);
            Py_ssize_t sk = intersection_size(f.key_points[i], f.key_points[j]);
            double sim = scaled.similarity(i, j);
            if (st == 0 && se == 0 && sk == 0 && !threshold.passes(sim)) {
                // The key is the two ids sorted, as sorted() compares them.
                handle a = f.ids[i], b = f.ids[j];
                bool swap = check(PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_LT)) == 1;
                EdgeProbe probe(self);
                if (!probe.contains(swap ? b : a, swap ? a : b)) continue;
            }
            object sto = steal_or_raise(PyLong_FromSsize_t(st));
            object seo = steal_or_raise(PyLong_FromSsize_t(se));
            object sko = steal_or_raise(PyLong_FromSsize_t(sk));
            call_update_edge(self, f.ids[i], f.ids[j], sto, seo, sko, make_float(sim));
        }
    }
}

object add_conversations_impl(handle self, handle memorias) {
    require_exact_list(memorias, "memorias");
    object added = steal_or_raise(PyList_New(0));
    // The list is re-read at every step, as a for loop over it would.
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(memorias.ptr()); ++k) {
        object item = nb::borrow(PyList_GET_ITEM(memorias.ptr(), k));
        object node = ensure_node(self, item);
        check(PyList_Append(added.ptr(), node.ptr()));
    }
    object nodes = get_attr(self, names.nodes);
    set_attr(self, names.total_conversations, steal_or_raise(PyLong_FromSsize_t(check_size(PyObject_Size(nodes.ptr())))));

    object node_list;
    if (PyDict_CheckExact(nodes.ptr())) {
        node_list = steal_or_raise(PyDict_Values(nodes.ptr()));
    } else {
        object view = call_method(nodes, names.values);
        node_list = steal_or_raise(PySequence_List(view.ptr()));
    }
    auto n = static_cast<std::size_t>(PyList_GET_SIZE(node_list.ptr()));
    std::vector<object> vectors;
    vectors.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        vectors.push_back(get_attr(handle(PyList_GET_ITEM(node_list.ptr(), static_cast<Py_ssize_t>(i))), names.embedding));

    // Every vector is converted before any edge changes, so that a vector
    // that cannot be read fails the call with the graph's edges untouched.
    object np = lookup_global(state.module_dict, names.np);
    ScaledVectors scaled(vectors);
    for (std::size_t k = 0; k < scaled.group_count(); ++k) scaled.convert(k, vectors, np);
    scaled.plan_blocks();
    vectors.clear();

    Threshold threshold(get_attr(self, names.similarity_threshold));

    NodeFields f;
    f.ids.reserve(n);
    f.tags.reserve(n);
    f.entities.reserve(n);
    f.key_points.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        handle node(PyList_GET_ITEM(node_list.ptr(), static_cast<Py_ssize_t>(i)));
        f.ids.push_back(get_attr(node, names.session_id));
        f.tags.push_back(get_attr(node, names.tags));
        f.entities.push_back(get_attr(node, names.entities));
        f.key_points.push_back(get_attr(node, names.key_points));
    }

    // Plain data takes the indexed loop: distinct str ids, sets of str.
    bool plain = true;
    KeyTable ids(n);
    for (std::size_t i = 0; i < n && plain; ++i) {
        bool inserted = false;
        plain = PyUnicode_CheckExact(f.ids[i].ptr()) && (ids.intern(f.ids[i], inserted), inserted);
    }
    std::array<InvertedIndex, 3> index;
    plain = plain && index[0].build(f.tags) && index[1].build(f.entities) && index[2].build(f.key_points);
    if (!plain) {
        general_pair_loop(self, np, scaled, f, threshold);
        return added;
    }
    // Order of the ids as strings, so that each pair's key needs no comparison.
    std::vector<std::int32_t> order(n), rank(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::int32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::int32_t x, std::int32_t y) {
        return PyUnicode_Compare(f.ids[static_cast<std::size_t>(x)].ptr(), f.ids[static_cast<std::size_t>(y)].ptr()) < 0;
    });
    for (std::size_t r = 0; r < n; ++r) rank[static_cast<std::size_t>(order[r])] = static_cast<std::int32_t>(r);

    PlainPairLoop loop(self, np, scaled, f, threshold, index, rank);
    loop.prescan(ids);
    loop.hoist(nodes, node_list);
    loop.run();
    return added;
}

}  // namespace

object ConceptMesh_add_conversations(handle self, const Args &a) {
    return add_conversations_impl(self, a[0]);
}

constinit Method def::add_conversations{
    {"add_conversations", true, {req("memorias")}}, ConceptMesh_add_conversations,
    "Add a list of sessions and recompute every edge of the mesh."};

}  // namespace vk::mesh
