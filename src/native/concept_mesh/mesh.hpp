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

// Module functions (self is the module or null).
object _similarity_matrix(handle, const Args &);
object _density_entropy(handle, const Args &);
object _short(handle, const Args &);

// ConceptMesh methods, in definition order.
object ConceptMesh_init(handle, const Args &);
object ConceptMesh_ensure_node(handle, const Args &);
object ConceptMesh_update_edge(handle, const Args &);
object ConceptMesh_add_conversation(handle, const Args &);
object ConceptMesh_add_conversations(handle, const Args &);
object ConceptMesh_calculate_densities(handle, const Args &);
object ConceptMesh_calculate_densities_for(handle, const Args &);
object ConceptMesh_calculate_node_density(handle, const Args &);
object ConceptMesh_calculate_centralities(handle, const Args &);
object ConceptMesh_calculate_centralities_for(handle, const Args &);
object ConceptMesh_calculate_node_centrality(handle, const Args &);
object ConceptMesh_get_top_density_nodes(handle, const Args &);
object ConceptMesh_get_top_centrality_nodes(handle, const Args &);
object ConceptMesh_get_stats(handle, const Args &);
object ConceptMesh_to_dict(handle, const Args &);
object ConceptMesh_shortest_path(handle, const Args &);
object ConceptMesh_clear(handle, const Args &);

/// The signatures, each declared once: the entry points parse with them, the
/// docstrings' text signatures are made from them, and the "still ours?"
/// tests name them.
namespace def {
inline constinit Method _similarity_matrix{{"_similarity_matrix", false, {req("embeddings")}}, mesh::_similarity_matrix};
inline constinit Method _density_entropy{{"_density_entropy", false, {req("values"), opt("n_bins", "10")}},
                                         mesh::_density_entropy};
inline constinit Method _short{{"_short", false, {req("text"), req("limit")}}, mesh::_short};

inline constinit Method init{{"__init__", true,
                              {opt("similarity_threshold", "0.75"), opt("tag_weight", "1.0"),
                               opt("entity_weight", "1.2"), opt("key_point_weight", "1.1"),
                               opt("embedding_weight", "2.5")}},
                             ConceptMesh_init};
inline constinit Method _ensure_node{{"_ensure_node", true, {req("memoria")}}, ConceptMesh_ensure_node};
inline constinit Method _update_edge{{"_update_edge", true,
                                      {req("session_a"), req("session_b"), req("shared_tags"),
                                       req("shared_entities"), req("shared_key_points"),
                                       req("embedding_similarity")}},
                                     ConceptMesh_update_edge};
inline constinit Method add_conversation{{"add_conversation", true, {req("memoria")}}, ConceptMesh_add_conversation};
inline constinit Method add_conversations{{"add_conversations", true, {req("memorias")}},
                                          ConceptMesh_add_conversations};
inline constinit Method calculate_densities{{"calculate_densities", true, {}}, ConceptMesh_calculate_densities};
inline constinit Method calculate_densities_for{{"calculate_densities_for", true, {req("node_ids")}},
                                                ConceptMesh_calculate_densities_for};
inline constinit Method _calculate_node_density{{"_calculate_node_density", false, {req("node")}},
                                                ConceptMesh_calculate_node_density};
inline constinit Method calculate_centralities{{"calculate_centralities", true, {}},
                                               ConceptMesh_calculate_centralities};
inline constinit Method calculate_centralities_for{{"calculate_centralities_for", true, {req("node_ids")}},
                                                   ConceptMesh_calculate_centralities_for};
inline constinit Method _calculate_node_centrality{{"_calculate_node_centrality", true, {req("node")}},
                                                   ConceptMesh_calculate_node_centrality};
inline constinit Method get_top_density_nodes{{"get_top_density_nodes", true, {opt("limit", "20")}},
                                              ConceptMesh_get_top_density_nodes};
inline constinit Method get_top_centrality_nodes{{"get_top_centrality_nodes", true, {opt("limit", "20")}},
                                                 ConceptMesh_get_top_centrality_nodes};
inline constinit Method get_stats{{"get_stats", true, {}}, ConceptMesh_get_stats};
inline constinit Method to_dict{{"to_dict", true,
                                 {opt("max_nodes", "300"), opt("max_edges_per_node", "8"),
                                  opt("summary_chars", "280")}},
                                ConceptMesh_to_dict};
inline constinit Method shortest_path{{"shortest_path", true, {req("source_id"), req("target_id")}},
                                      ConceptMesh_shortest_path};
inline constinit Method clear{{"clear", true, {}}, ConceptMesh_clear};
}  // namespace def

}  // namespace vk::mesh
