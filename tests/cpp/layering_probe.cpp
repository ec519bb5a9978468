// Built only by the layering test, which expects this include to fail: the e-graph layer does not
// see the store.
#include "store/graph_store.hpp"
