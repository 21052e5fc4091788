// Internal interface of the concept mesh module: the module's state and the
// entry points implemented by graph.cpp, similarity.cpp, metrics.cpp,
// export.cpp and path.cpp, registered by module.cpp.
#pragma once

#include "common/py.hpp"

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

// Module functions (signature: self is the module or null).
object _similarity_matrix(handle, PyObject *const *, Py_ssize_t, PyObject *);
object _density_entropy(handle, PyObject *const *, Py_ssize_t, PyObject *);
object _short(handle, PyObject *const *, Py_ssize_t, PyObject *);

// ConceptMesh methods, in definition order.
object ConceptMesh_init(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_ensure_node(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_update_edge(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_add_conversation(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_add_conversations(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_calculate_densities(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_calculate_densities_for(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_calculate_node_density(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_calculate_centralities(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_calculate_centralities_for(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_calculate_node_centrality(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_get_top_density_nodes(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_get_top_centrality_nodes(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_get_stats(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_to_dict(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_shortest_path(handle, PyObject *const *, Py_ssize_t, PyObject *);
object ConceptMesh_clear(handle, PyObject *const *, Py_ssize_t, PyObject *);

}  // namespace vk::mesh
