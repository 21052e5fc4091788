// Similarity matrix and batch construction (add_conversations).
#include "common/errors.hpp"
#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

object _similarity_matrix(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "_similarity_matrix is not implemented yet");
}

object ConceptMesh_add_conversations(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_add_conversations is not implemented yet");
}

}  // namespace vk::mesh
