// Density, centrality, rankings, statistics and the density entropy.
#include "common/errors.hpp"
#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

object _density_entropy(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "_density_entropy is not implemented yet");
}

object ConceptMesh_calculate_densities(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_calculate_densities is not implemented yet");
}

object ConceptMesh_calculate_densities_for(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_calculate_densities_for is not implemented yet");
}

object ConceptMesh_calculate_node_density(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_calculate_node_density is not implemented yet");
}

object ConceptMesh_calculate_centralities(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_calculate_centralities is not implemented yet");
}

object ConceptMesh_calculate_centralities_for(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_calculate_centralities_for is not implemented yet");
}

object ConceptMesh_calculate_node_centrality(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_calculate_node_centrality is not implemented yet");
}

object ConceptMesh_get_top_density_nodes(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_get_top_density_nodes is not implemented yet");
}

object ConceptMesh_get_top_centrality_nodes(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_get_top_centrality_nodes is not implemented yet");
}

object ConceptMesh_get_stats(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_get_stats is not implemented yet");
}

}  // namespace vk::mesh
