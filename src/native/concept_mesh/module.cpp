// Module `vesperkit.graph.concept_mesh`: binds the host helpers, numpy when
// present, and defines the module's names in their documented order.
#include "common/module.hpp"
#include "common/pyclass.hpp"
#include "concept_mesh/mesh.hpp"

namespace vk::mesh {

ModuleState state;
Names names;

void init_names() {
    VK_NAME(nodes); VK_NAME(edges); VK_NAME(total_conversations); VK_NAME(last_rebuild);
    VK_NAME(similarity_threshold); VK_NAME(tag_weight); VK_NAME(entity_weight);
    VK_NAME(key_point_weight); VK_NAME(embedding_weight);
    VK_NAME(session_id); VK_NAME(summary); VK_NAME(created_at); VK_NAME(tags); VK_NAME(entities);
    VK_NAME(key_points); VK_NAME(embedding); VK_NAME(memoria);
    VK_NAME(density); VK_NAME(centrality); VK_NAME(neighbors);
    VK_NAME(shared_tags); VK_NAME(shared_entities); VK_NAME(shared_key_points);
    VK_NAME(embedding_similarity); VK_NAME(weight);
    VK_NAME(id); VK_NAME(source); VK_NAME(author); VK_NAME(origin); VK_NAME(superseded_by);
    VK_NAME(valid_until);
    VK_NAME(normalize_items); VK_NAME(cosine_similarity); VK_NAME(np);
    VK_NAME(_ensure_node); VK_NAME(_update_edge);
    VK_NAME(calculate_densities); VK_NAME(calculate_centralities); VK_NAME(_calculate_node_density);
    VK_NAME(_calculate_node_centrality); VK_NAME(get_top_density_nodes); VK_NAME(get_top_centrality_nodes);
    VK_NAME(_density_entropy);
    VK_NAME(get); VK_NAME(items); VK_NAME(values); VK_NAME(pop); VK_NAME(clear); VK_NAME(sort);
    VK_NAME(__getitem__); VK_NAME(sum); VK_NAME(sorted); VK_NAME(round); VK_NAME(key); VK_NAME(reverse);
    VK_NAME(total_nodes); VK_NAME(total_edges); VK_NAME(avg_density); VK_NAME(avg_centrality);
    VK_NAME(global_density); VK_NAME(density_entropy); VK_NAME(top_density); VK_NAME(top_centrality);
    VK_NAME(target); VK_NAME(truncated);
    names.ellipsis = interned("\xe2\x80\xa6");  // U+2026
    names.empty_str = interned("");
    VK_NAME(asarray); VK_NAME(ascontiguousarray); VK_NAME(float64); VK_NAME(dtype); VK_NAME(empty);
    VK_NAME(matmul); VK_NAME(out); VK_NAME(reshape); VK_NAME(T);
}

namespace {

PyMethodDef *const mesh_methods = method_table<def::init, def::_ensure_node, def::_update_edge,
                                               def::add_conversation, def::add_conversations,
                                               def::calculate_densities, def::calculate_densities_for,
                                               def::_calculate_node_density, def::calculate_centralities,
                                               def::calculate_centralities_for, def::_calculate_node_centrality,
                                               def::get_top_density_nodes, def::get_top_centrality_nodes,
                                               def::get_stats, def::to_dict, def::shortest_path, def::clear>();

}  // namespace

}  // namespace vk::mesh

VK_MODULE(concept_mesh, vk::mesh,
          "Graph of conversation sessions: edges from shared tags, entities, key points "
          "and embedding similarity; scores, rankings, export and strongest paths.",
          set) {
    using namespace vk;
    using namespace vk::mesh;

    set("heapq", import_module("heapq"));
    set("math", import_module("math"));
    object typing = import_module("typing");
    for (const char *name : {"Dict", "List", "Tuple", "Set", "Optional"}) set(name, get_attr(typing, interned(name)));
    object dataclasses = import_module("dataclasses");
    set("dataclass", get_attr(dataclasses, interned("dataclass")));
    set("field", get_attr(dataclasses, interned("field")));

    // The host helpers come from the package two levels up (the package root).
    set("normalize_items", get_attr(import_from_package(state.module_name, 2, "utils.text"), interned("normalize_items")));
    set("cosine_similarity",
        get_attr(import_from_package(state.module_name, 2, "utils.embeddings"), interned("cosine_similarity")));

    // numpy is optional: without it the similarity matrix uses the portable path.
    object np = import_optional(make_str("numpy"));
    set("np", np.is_valid() ? handle(np) : handle(Py_None));

    set("_similarity_matrix", new_function(function_def<def::_similarity_matrix>(), state.module_name));
    set("_density_entropy", new_function(function_def<def::_density_entropy>(), state.module_name));

    object str_type = nb::borrow(handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)));
    object float_type = nb::borrow(handle(reinterpret_cast<PyObject *>(&PyFloat_Type)));
    object int_type = nb::borrow(handle(reinterpret_cast<PyObject *>(&PyLong_Type)));
    object dict_type = nb::borrow(handle(reinterpret_cast<PyObject *>(&PyDict_Type)));
    object set_type = nb::borrow(handle(reinterpret_cast<PyObject *>(&PySet_Type)));
    object list_type = nb::borrow(handle(reinterpret_cast<PyObject *>(&PyList_Type)));
    const char *modname = PyUnicode_AsUTF8(state.module_name.ptr());

    object node_t = make_dataclass(modname, "GraphNode", {
        field_required("session_id", str_type),
        field_required("summary", str_type),
        field_value("created_at", typing_subscript("Optional", {str_type}), handle(Py_None)),
        field_factory("tags", typing_subscript("Set", {str_type}), set_type),
        field_factory("entities", typing_subscript("Set", {str_type}), set_type),
        field_factory("key_points", typing_subscript("Set", {str_type}), set_type),
        field_factory("embedding", typing_subscript("List", {float_type}), list_type),
        field_factory("memoria", typing_subscript("Dict", {str_type, get_attr(typing, interned("Any"))}), dict_type),
        field_value("density", float_type, make_float(0.0)),
        field_value("centrality", float_type, make_float(0.0)),
        field_factory("neighbors", typing_subscript("Dict", {str_type, dict_type}), dict_type),
    });
    object edge_t = make_dataclass(modname, "GraphEdge", {
        field_value("shared_tags", int_type, make_int(0)),
        field_value("shared_entities", int_type, make_int(0)),
        field_value("shared_key_points", int_type, make_int(0)),
        field_value("embedding_similarity", float_type, make_float(0.0)),
        field_value("weight", float_type, make_float(0.0)),
    });
    set_attr(node_t, interned("__doc__"), make_str("One conversation session of the mesh."));
    set_attr(edge_t, interned("__doc__"), make_str("The record of one edge: shared counts, best similarity, weight."));
    set("GraphNode", node_t);
    set("GraphEdge", edge_t);
    state.graph_node_type = node_t.release();
    state.graph_edge_type = edge_t.release();

    set("_short", new_function(function_def<def::_short>(), state.module_name));

    object mesh_t = new_plain_class(modname, "ConceptMesh",
        "Undirected weighted graph of conversation sessions.\n\n"
        "Edges come from shared tags, entities and key points and from embedding\n"
        "similarity; the tuning attributes are read at every edge update.");
    add_methods(mesh_t, mesh_methods);
    set("ConceptMesh", mesh_t);
    state.mesh_type = mesh_t.release();
}
