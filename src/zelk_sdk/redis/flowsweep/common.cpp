#include "common.hpp"

namespace zelk::flowsweep {

ZELK_NAMES_DEFINE(ZELK_FLOWSWEEP_NAMES);

}  // namespace zelk::flowsweep
