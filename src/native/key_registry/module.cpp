// Module placeholder; its classes are added by the module's own sources.
#include "common/py.hpp"

NB_MODULE(key_registry, m) { m.doc() = "vesperkit native module key_registry (under construction)."; }
