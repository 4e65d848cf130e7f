// The reader driver's results as the reader-driver interface's response codes.
#pragma once

#include "PcscHeaders.h"
#include "Smartcard/IFDH/HVIFDH.h"

namespace hv::ifdhandler {

// What the driver was asked to do: a few results mean something particular to one of them.
enum class Operation { Power, Protocol, Transmit };

// Success is IFD_SUCCESS and nothing else is. A reader that is unavailable (the case away, or
// its sessions not open) is a communication error, not IFD_NO_SUCH_DEVICE: a reader from
// reader.conf.d stays, and comes back by itself with the case.
RESPONSECODE toResponseCode(HVIFDHStatus status, Operation operation);

}  // namespace hv::ifdhandler
