// Graph model and incremental construction: nodes, edge updates, add_conversation.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

object ConceptMesh_init(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("__init__", true,
                               {opt("similarity_threshold"), opt("tag_weight"), opt("entity_weight"),
                                opt("key_point_weight"), opt("embedding_weight")});
    Args a = parse_args(sig, args, nargs, kwnames);
    // Every value is converted before any attribute is set.
    object threshold = a.given(0) ? to_float_object(a[0]) : make_float(0.75);
    object tag = a.given(1) ? to_float_object(a[1]) : make_float(1.0);
    object entity = a.given(2) ? to_float_object(a[2]) : make_float(1.2);
    object key_point = a.given(3) ? to_float_object(a[3]) : make_float(1.1);
    object embedding = a.given(4) ? to_float_object(a[4]) : make_float(2.5);
    set_attr(self, names.nodes, steal_or_raise(PyDict_New()));
    set_attr(self, names.edges, steal_or_raise(PyDict_New()));
    set_attr(self, names.total_conversations, make_int(0));
    set_attr(self, names.last_rebuild, handle(Py_None));
    set_attr(self, names.similarity_threshold, threshold);
    set_attr(self, names.tag_weight, tag);
    set_attr(self, names.entity_weight, entity);
    set_attr(self, names.key_point_weight, key_point);
    set_attr(self, names.embedding_weight, embedding);
    return nb::none();
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

object ensure_node(handle, handle) {
    raise_format(PyExc_NotImplementedError, "ensure_node is not implemented yet");
}

void update_edge(handle, handle, handle, handle, handle, handle, handle) {
    raise_format(PyExc_NotImplementedError, "update_edge is not implemented yet");
}

void update_edge_converted(handle, handle, handle, handle, handle, handle, double) {
    raise_format(PyExc_NotImplementedError, "update_edge_converted is not implemented yet");
}

}  // namespace vk::mesh
