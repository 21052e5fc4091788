// Export for display: _short and to_dict.
#include "common/errors.hpp"
#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

object _short(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "_short is not implemented yet");
}

object ConceptMesh_to_dict(handle, PyObject *const *, Py_ssize_t, PyObject *) {
    raise_format(PyExc_NotImplementedError, "ConceptMesh_to_dict is not implemented yet");
}

}  // namespace vk::mesh
