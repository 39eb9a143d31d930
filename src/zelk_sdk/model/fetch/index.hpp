// The index of the model store: for each model key, the model directory it
// last resolved to, so that a device without network can start the model it
// already has (ZELK_OFFLINE). One small JSON object in a file of the module's
// own name in the base directory, written whole and renamed into place under
// a lock of its own, through the base directory's descriptor; read only where
// it is a plain file of this process's user with no other name.
#pragma once

#include "base_dir.hpp"
#include "common.hpp"

namespace zelk::fetch::index {

// Records that `key` resolved to the model directory `model_name` of `base`.
// Best effort and silent: an index that cannot be written is left as it is.
void remember(Ctx& c, const scratch::BaseDir& base, PyObject* key, PyObject* model_name);

// The model name `key` last resolved to, where it is still a directory of
// `base`; an empty Ref otherwise.
Ref recall(Ctx& c, const scratch::BaseDir& base, PyObject* key);

}  // namespace zelk::fetch::index
