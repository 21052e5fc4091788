// Module placeholder; its classes are added by the module's own sources.
#include "common/py.hpp"

NB_MODULE(encryption, m) { m.doc() = "vesperkit native module encryption (under construction)."; }
