// What brinomar-flash can do; each returns the program's exit status.
#pragma once

#include "cli/flashoptions.h"

#include <string>
#include <system_error>

namespace brinomar {

// What was printed on standard output, flushed: ExitSuccess, or ExitOutputFailed with a message
// when it could not be written.
int FinishOutput();

// --listing: the image the file gives, 16 bytes a line, on standard output.
int ListFile(const std::string& fileName);

// --list-ports: one port a line: name, path, USB vendor:product and description.
int ListPorts();

// Says on standard error why the machine's serial ports could not be looked for.
void PrintPortScanFailure(const std::error_code& error);

// FILE.hex: the update, its log lines on standard output.
int UpdateDevice(const TFlashOptions& options);

// The port number that stands for `path`: the number it already has, else the lowest free one,
// at which it is registered. 0 when every number is taken.
int PortNumberForPath(const std::string& path);

} // namespace brinomar
