// Strongest path (Dijkstra over 1/weight) and reset.
#include "common/errors.hpp"
#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

object ConceptMesh_shortest_path(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_shortest_path is not implemented yet");
}

object ConceptMesh_clear(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_clear is not implemented yet");
}

}  // namespace vk::mesh
