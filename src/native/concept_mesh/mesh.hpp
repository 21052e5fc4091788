// Internal interface of the concept mesh module: the module's state, its
// names, and the entry points (one file per operation: edges.cpp,
// add_conversation.cpp, add_conversations.cpp, similarity_matrix.cpp,
// metrics.cpp, entropy.cpp, export.cpp, path.cpp) registered by module.cpp.
#pragma once

#include "common/dispatch.hpp"
#include "common/pyclass.hpp"
#include "common/py.hpp"

#include <vector>

namespace vk::mesh {

/// Objects created when the module is loaded. Owned by the module for the
/// life of the process.
struct ModuleState {
    handle module_dict;     // globals: helpers and `np` are looked up here at call time
    handle module_name;     // "vesperkit.graph.concept_mesh"
    handle graph_node_type; // GraphNode data class
    handle graph_edge_type; // GraphEdge data class
    handle mesh_type;       // ConceptMesh
};

extern ModuleState state;

/// Interned attribute names and dict keys, created when the module loads.
struct Names {
    handle nodes, edges, total_conversations, last_rebuild;
    handle similarity_threshold, tag_weight, entity_weight, key_point_weight, embedding_weight;
    handle session_id, summary, created_at, tags, entities, key_points, embedding, memoria;
    handle density, centrality, neighbors;
    handle shared_tags, shared_entities, shared_key_points, embedding_similarity, weight;
    handle id, source, author, origin, superseded_by, valid_until;
    handle normalize_items, cosine_similarity, np;
    handle _ensure_node, _update_edge;
    // Methods called on the instance, and builtins.
    handle calculate_densities, calculate_centralities, _calculate_node_density, _calculate_node_centrality;
    handle get_top_density_nodes, get_top_centrality_nodes, _density_entropy;
    handle get, items, values, pop, clear, sort, __getitem__, sum, sorted, round, key, reverse;
    // Keys of the statistics and of the export.
    handle total_nodes, total_edges, avg_density, avg_centrality, global_density, density_entropy;
    handle top_density, top_centrality, target, truncated;
    handle ellipsis, empty_str;  // "\u2026" and ""
    // numpy names used by the bulk similarity path.
    handle asarray, ascontiguousarray, float64, dtype, empty, matmul, out, reshape, T;
};

extern Names names;

void init_names();

// Shared by the construction paths (edges.cpp and the two adds).

/// The bins of the density entropy when none are given.
inline constexpr Py_ssize_t DEFAULT_BINS = 10;

/// The density entropy of already-read values over `n_bins` bins (entropy.cpp).
double density_entropy(const std::vector<double> &values, Py_ssize_t n_bins, double n_bins_d);

/// `len(a & b)`. Two exact sets (or frozensets) are counted in place, without
/// building the intersection; any other pair goes through the `&` operator.
Py_ssize_t intersection_size(handle a, handle b);

/// Positions of `scores` in ranking order, only the first `stop`: highest
/// first, equal scores in their given order, as a stable descending sort.
std::vector<Py_ssize_t> rank_descending(const std::vector<object> &scores, Py_ssize_t stop);

/// `self._ensure_node(memoria)`, called as a method of the instance (the C++
/// body directly for an exact ConceptMesh).
object ensure_node(handle self, handle memoria);

/// `self._update_edge(...)`, called as a method of the instance (the C++ body
/// directly for an exact ConceptMesh).
void call_update_edge(handle self, handle session_a, handle session_b, handle shared_tags,
                      handle shared_entities, handle shared_key_points, handle embedding_similarity);

/// The edge update of an exact ConceptMesh with arguments already converted:
/// `session_a` and `session_b` are exact str; the counts are Python ints;
/// `sim_obj` is the similarity as a float object when the caller has one
/// (else one is made from `sim` when needed). The caller has decided (once
/// per operation) that the C++ body applies, e.g. with
/// `is_exact_with_own_method<def::_update_edge>(self, state.mesh_type)`.
void apply_edge_update(handle self, handle session_a, handle session_b, handle shared_tags,
                       handle shared_entities, handle shared_key_points, double sim, handle sim_obj = handle());

/// What edge updates read from an exact ConceptMesh, read once for a run of
/// updates of the module's own edge update during which no Python code runs
/// (so none of it can change): the nodes in order, their ids (exact str),
/// `edges` and the tuning values.
struct MeshReads {
    handle self;
    std::vector<object> nodes, ids;
    object edges, tag_weight, entity_weight, key_point_weight, similarity_threshold, embedding_weight;
};

/// The argument conversions of `_update_edge`, then the update (the C++ body).
void update_edge_from_args(handle self, handle session_a, handle session_b, handle shared_tags,
                           handle shared_entities, handle shared_key_points, handle embedding_similarity);

/// The edge update of nodes i and j of `pre`, as the update of their ids;
/// `i_low` tells whether node i's id sorts first.
void apply_edge_update(const MeshReads &pre, std::size_t i, std::size_t j, bool i_low, handle shared_tags,
                       handle shared_entities, handle shared_key_points, double sim);

/// The functions and methods (`Method`), each defined beside its body.
namespace def {
extern constinit Method _similarity_matrix, _density_entropy, _short, init, _ensure_node, _update_edge,
    add_conversation, add_conversations, calculate_densities, calculate_densities_for,
    _calculate_node_density, calculate_centralities, calculate_centralities_for, _calculate_node_centrality,
    get_top_density_nodes, get_top_centrality_nodes, get_stats, to_dict, shortest_path, clear;
}  // namespace def

}  // namespace vk::mesh
