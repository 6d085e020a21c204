// The driver contract (platform/DriverInterface.h) under the names the USB
// layer builds its requests with.
#pragma once

#include "platform/DriverInterface.h"

namespace lumo::usb {

using platform::kDriverInterfaceClass;
using platform::kTransferRecordSize;
using platform::TransferRecord;

using platform::CODE_ABORT_ENDPOINT;
using platform::CODE_BUFFERED_TRANSFER;
using platform::CODE_CONTROL_TRANSFER;
using platform::CODE_DEVICE_STATE;
using platform::CODE_DIRECT_TRANSFER;
using platform::CODE_DRIVER_INFO_A;
using platform::CODE_DRIVER_INFO_B;
using platform::CODE_DRIVER_INFO_BYTE;
using platform::CODE_DRIVER_TEXT_A;
using platform::CODE_DRIVER_TEXT_B;
using platform::CODE_GET_ALTERNATE;
using platform::CODE_SET_TRANSFER_LENGTH;

}  // namespace lumo::usb
