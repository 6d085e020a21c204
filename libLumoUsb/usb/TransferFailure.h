// Why a request on an endpoint failed, as a call's failure (Failure.h): a
// request the device stalled was refused by the camera; any other is an
// operating-system or driver error with its code.
#pragma once

#include "Failure.h"
#include "platform/ErrorCodes.h"
#include "usb/EndPoint.h"

namespace lumo::usb {

// `osError`: the error the failing step reported, when the endpoint's own
// OsError (that of the submission) does not say it.
inline Failure TransferFailure(const CLumoUSBEndPoint& endpoint, std::uint32_t osError = 0) {
  if (endpoint.BusStatus != 0) return Failure{LUMO_ERROR_REFUSED, 0};
  std::uint32_t code = osError != 0 ? osError : endpoint.OsError;
  if (code == platform::kErrorSuccess || code == platform::kErrorIoPending)
    code = endpoint.DriverStatus;
  return Failure{LUMO_ERROR_OS, code};
}

}  // namespace lumo::usb
