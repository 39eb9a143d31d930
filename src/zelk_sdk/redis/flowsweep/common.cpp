#include "common.hpp"

namespace zelk::flowsweep {

const char* const kNames[n::count] = {
#define ZELK_X(id, text) text,
    ZELK_FLOWSWEEP_NAMES(ZELK_X)
#undef ZELK_X
};

}  // namespace zelk::flowsweep
