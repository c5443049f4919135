// NumPy's C array interface, loaded on first use rather than at import so that importing
// _kavro costs nothing. Include this header instead of numpy's own.
#pragma once

#include "python/binding.h"

#define PY_ARRAY_UNIQUE_SYMBOL kavro_ARRAY_API
#ifndef KAVRO_NUMPY_API_DEFINE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kavro::py {

// Loads the `_ARRAY_API` table once; on failure raises the panic exception
// "Failed to access NumPy array API capsule" and returns false. Needs the lock.
bool ensure_numpy();

}  // namespace kavro::py
