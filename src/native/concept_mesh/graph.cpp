// Graph model and incremental construction: nodes, edge updates, add_conversation.
#include "common/errors.hpp"
#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

object ConceptMesh_init(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_init is not implemented yet");
}

object ConceptMesh_ensure_node(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_ensure_node is not implemented yet");
}

object ConceptMesh_update_edge(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_update_edge is not implemented yet");
}

object ConceptMesh_add_conversation(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_add_conversation is not implemented yet");
}

}  // namespace vk::mesh
