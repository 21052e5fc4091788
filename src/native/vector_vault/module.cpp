// Module placeholder; its classes are added by the module's own sources.
#include "common/py.hpp"

NB_MODULE(vector_vault, m) { m.doc() = "vesperkit native module vector_vault (under construction)."; }
