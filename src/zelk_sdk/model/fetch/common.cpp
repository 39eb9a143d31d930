#include "common.hpp"

namespace zelk::fetch {

const char* const kNames[n::count] = {
#define ZELK_X(id, text) text,
    ZELK_FETCH_NAMES(ZELK_X)
#undef ZELK_X
};

void log_info(Ctx& c, PyObject* message) { call_method(c.global(n::logger), c.name(n::info), message); }

void log_warning(Ctx& c, PyObject* message) { call_method(c.global(n::logger), c.name(n::warning), message); }

}  // namespace zelk::fetch
