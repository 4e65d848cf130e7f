// The reader driver's results in PC/SC terms, one mapping per operation, and the names of the
// PC/SC codes for people.
#pragma once

#include "Smartcard/IFDH/HVIFDH.h"
#include "vorasel/winscard.h"

namespace hv::pcsc {

// Card power-on in SCardConnect (the reader record's changes are the caller's).
LONG fromPowerOn(HVIFDHStatus status);
// Reset or power-off in SCardDisconnect: a card or reader gone meanwhile is no failure.
LONG fromDisconnect(HVIFDHStatus status);
// Power-on in SCardReconnect.
LONG fromReconnectPowerOn(HVIFDHStatus status);
// Protocol negotiation in SCardConnect and SCardReconnect.
LONG fromNegotiation(HVIFDHStatus status);
// SCardTransmit.
LONG fromTransmit(HVIFDHStatus status);

// "SCARD_E_NO_SMARTCARD" for 0x8010000C; null for a value that is not a PC/SC code.
const char *resultName(LONG code);

}  // namespace hv::pcsc
