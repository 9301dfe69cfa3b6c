// Private to unit Kvexcept: which exception class stands for which error code.
#pragma once

#include <cstdint>

namespace kivo {

// Raises the exception of a class through its code constructor.
using TRaiseClass = void (*)(int32_t code);

// The class of an error code, or null when the code has none.
TRaiseClass ClassOfCode(int32_t code);

} // namespace kivo
