// Module `vesperkit.utils._embeddings`: the host helper `cosine_similarity`
// for two lists of floats, the interpreted helper for everything else.
#include "common/cosine.hpp"
#include "common/module.hpp"
#include "common/pyclass.hpp"

#include <vector>

namespace vk::emb {

/// Set when the module is loaded.
struct ModuleState {
    handle module_dict, module_name;
    handle helpers_module;  // "<package>.embeddings", which holds the interpreted helper
};

struct Names {
    handle _interpreted_cosine_similarity;
};

ModuleState state;
Names names;

void init_names() { VK_NAME(_interpreted_cosine_similarity); }

namespace {

/// The interpreted helper, looked up when needed: it decides every input that
/// is not two lists of finite floats (tuples, arrays, objects with their own
/// `__len__` or `__float__`), with whatever those objects do.
object interpreted(handle a, handle b) {
    object module = steal_or_raise(PyImport_Import(state.helpers_module.ptr()));
    return call(get_attr(module, names._interpreted_cosine_similarity), a, b);
}

object cosine_similarity(handle, const Args &p) {
    PyObject *a = p[0].ptr(), *b = p[1].ptr();
    if (PyList_CheckExact(a)) {
        auto n = static_cast<std::size_t>(PyList_GET_SIZE(a));
        // An empty list is falsy: the helper answers before looking at `b`.
        if (n == 0) return make_float(0.0);
        if (PyList_CheckExact(b)) {
            if (PyList_GET_SIZE(b) == 0 || static_cast<std::size_t>(PyList_GET_SIZE(b)) != n)
                return make_float(0.0);
            std::vector<double> x(2 * n);
            double max_a = 0.0, max_b = 0.0, sim = 0.0;
            if (cosine::unpack(a, n, x.data(), max_a) && cosine::unpack(b, n, x.data() + n, max_b) &&
                cosine::similarity(x.data(), max_a, x.data() + n, max_b, n, sim))
                return make_float(sim);
        }
    }
    return interpreted(p[0], p[1]);
}

constinit Method cosine_similarity_method{
    {"cosine_similarity", false, {req("a"), req("b")}}, cosine_similarity,
    "Cosine similarity of two vectors.\n\n"
    "0.0 when either is empty (or otherwise falsy), when their widths differ, or\n"
    "when either has zero norm."};

}  // namespace

}  // namespace vk::emb

VK_MODULE(_embeddings, vk::emb, "Native embedding helpers.", set) {
    using namespace vk;
    using namespace vk::emb;
    // The interpreted helper lives beside this module, in `<package>.embeddings`.
    state.helpers_module = package_module_name(state.module_name, 1, "embeddings").release();
    set("cosine_similarity", new_function(function_def<cosine_similarity_method>(), state.module_name));
}
