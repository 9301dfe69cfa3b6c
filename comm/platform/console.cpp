#include "comm/platform/console.h"

#include <unistd.h>

namespace kivo {

bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

} // namespace kivo
