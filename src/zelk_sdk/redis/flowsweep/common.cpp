#include "common.hpp"

namespace zelk::flowsweep {

const char* const kNames[n::count] = {
#define ZELK_X(id, text) text,
    ZELK_FLOWSWEEP_NAMES(ZELK_X)
#undef ZELK_X
};

void log(Ctx& c, int level, PyObject* message) { call_method(c.global(n::logger), c.name(level), message); }

}  // namespace zelk::flowsweep
