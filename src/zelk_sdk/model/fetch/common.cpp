#include "common.hpp"

namespace zelk::fetch {

const char* const kNames[n::count] = {
#define ZELK_X(id, text) text,
    ZELK_FETCH_NAMES(ZELK_X)
#undef ZELK_X
};

}  // namespace zelk::fetch
