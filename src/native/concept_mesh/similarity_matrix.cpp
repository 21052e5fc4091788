// _similarity_matrix: the pairwise cosine similarities of a list of vectors.
#include "common/args.hpp"
#include "concept_mesh/scaled_vectors.hpp"

namespace vk::mesh {

namespace {

object similarity_matrix_impl(handle embeddings) {
    require_exact_list(embeddings, "embeddings");
    handle np_name = names.np;
    object np = lookup_global(state.module_dict, np_name);
    std::vector<object> vectors;
    auto n = static_cast<std::size_t>(PyList_GET_SIZE(embeddings.ptr()));
    vectors.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        vectors.push_back(nb::borrow(PyList_GET_ITEM(embeddings.ptr(), static_cast<Py_ssize_t>(i))));

    ScaledVectors scaled(vectors);
    object zero = make_float(0.0);
    object result = steal_or_raise(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *row = PyList_New(static_cast<Py_ssize_t>(n));
        if (row == nullptr) raise_pending();
        for (std::size_t j = 0; j < n; ++j) PyList_SET_ITEM(row, static_cast<Py_ssize_t>(j), Py_NewRef(zero.ptr()));
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), row);
    }
    PyObject *const *rows = reinterpret_cast<PyListObject *>(result.ptr())->ob_item;
    // One group at a time, in order of first appearance.
    for (std::size_t k = 0; k < scaled.group_count(); ++k) {
        scaled.convert(k, vectors, np);
        Group &g = scaled.group(k);
        g.block_rows = std::clamp<std::size_t>(BLOCK_BYTES / (sizeof(double) * std::max<std::size_t>(g.count(), 1)),
                                               16, 1024);
        g.block_rows = std::min(g.block_rows, std::max<std::size_t>(g.count(), 1));
        for (std::size_t u = 0; u < g.count(); u += g.block_rows) {
            scaled.compute_block(g, u, np);
            for (std::size_t r = g.r0; r < g.r1; ++r) {
                std::size_t i = g.row_pos[r];
                // The diagonal holds the vector's own cosine with numpy and
                // 0.0 without it, as the two classic paths give it.
                if (!np.is_none()) {
                    object d = make_float(g.similarity(r, r));
                    replace_item(rows[i], i, d.ptr());
                }
                for (std::size_t c = r + 1; c < g.count(); ++c) {
                    std::size_t j = g.row_pos[c];
                    object v = make_float(g.similarity(r, c));
                    replace_item(rows[i], j, v.ptr());
                    replace_item(rows[j], i, v.ptr());
                }
            }
        }
    }
    return result;
}

}  // namespace

object _similarity_matrix(handle, const Args &a) {
    return similarity_matrix_impl(a[0]);
}

constinit Method def::_similarity_matrix{
    {"_similarity_matrix", false, {req("embeddings")}}, mesh::_similarity_matrix,
    "Pairwise cosine similarities of a list of vectors, as nested lists of floats."};

}  // namespace vk::mesh
