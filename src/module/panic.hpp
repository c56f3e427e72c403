// Internal faults: a diagnostic on standard error, then PanicException.
#pragma once

#include <string_view>

namespace rastermark::py {

// Writes the diagnostic and sets PanicException(text) as the pending error.
// Always returns null, for `return raise_panic(...);` in functions that
// return a new reference.
void* raise_panic(std::string_view text);

// Sets PanicException with the text "<prefix>: <type>: <message>" describing
// the pending Python error, which it replaces.
void* raise_panic_from_pending(std::string_view prefix);

}  // namespace rastermark::py
