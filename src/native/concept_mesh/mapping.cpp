#include "concept_mesh/mapping.hpp"

#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

object get_or_none(handle mapping, handle key) {
    if (PyDict_CheckExact(mapping.ptr())) return get_or(mapping, key, handle(Py_None));
    return call_method(mapping, names.get, key);
}

bool contains(handle container, handle key) {
    int found = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                                   : PySequence_Contains(container.ptr(), key.ptr());
    return check(found) == 1;
}

void set_item(handle mapping, handle key, handle value) {
    if (PyDict_CheckExact(mapping.ptr()))
        check(PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
    else
        check(PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
}

object values_list(handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return steal_or_raise(PyDict_Values(mapping.ptr()));
    return steal_or_raise(PySequence_List(call_method(mapping, names.values).ptr()));
}

bool plain_weight(PyObject *data, PyObject *&weight) {
    // The mesh builds its edge-data dicts with "weight" last: try that entry first.
    Py_ssize_t pos = PyDict_GET_SIZE(data) - 1;
    PyObject *key = nullptr, *value = nullptr;
    if (pos >= 0 && PyDict_Next(data, &pos, &key, &value) && key == names.weight.ptr()) {
        weight = value;
        return true;
    }
    // Keys are unique, so the first key equal to "weight" is the entry.
    const Py_ssize_t name_length = PyUnicode_GET_LENGTH(names.weight.ptr());
    weight = nullptr;
    pos = 0;
    while (PyDict_Next(data, &pos, &key, &value)) {
        if (key == names.weight.ptr()) {
            weight = value;
            return true;
        }
        if (!PyUnicode_CheckExact(key)) return false;
        if (PyUnicode_GET_LENGTH(key) == name_length && PyUnicode_Compare(key, names.weight.ptr()) == 0) {
            weight = value;
            return true;
        }
    }
    return true;
}

object read_weight(handle data, handle fallback) {
    if (fallback.is_valid()) return get_or(data, names.weight, fallback);
    return get_item(data, names.weight);
}

}  // namespace vk::mesh
