// Operating-system error codes, with the values Windows gives them. Every
// backend reports these, so that the layers above compare against one set.
#pragma once

#include <cstdint>

namespace lumo::platform {

constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorInvalidFunction = 1;  // request not served by the driver
constexpr std::uint32_t kErrorFileNotFound = 2;     // no such device path
constexpr std::uint32_t kErrorAccessDenied = 5;     // device in use or not permitted
constexpr std::uint32_t kErrorInvalidHandle = 6;    // closed, stale or wrong handle
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorGenFailure = 31;  // device gone or failing
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorCallNotImplemented = 120;
constexpr std::uint32_t kErrorSemTimeout = 121;  // transfer time limit passed
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorBusy = 170;              // interface claimed elsewhere
constexpr std::uint32_t kErrorNoMoreItems = 259;       // end of an enumeration
constexpr std::uint32_t kErrorOperationAborted = 995;  // request cancelled
constexpr std::uint32_t kErrorIoIncomplete = 996;      // overlapped request not finished
constexpr std::uint32_t kErrorIoPending = 997;         // overlapped request started
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
constexpr std::uint32_t kErrorClassAlreadyExists = 1410;
constexpr std::uint32_t kErrorInvalidWindowHandle = 1400;
constexpr std::uint32_t kErrorCannotFindWindowClass = 1407;

}  // namespace lumo::platform
