#include "Failure.h"

namespace lumo {

namespace {

thread_local Failure callFailure;
thread_local Failure threadFailure;

}  // namespace

bool Fail(std::int32_t kind, std::uint32_t osError) {
  callFailure = Failure{kind, osError};
  return false;
}

Failure TakeFailure() {
  const Failure failure = callFailure;
  callFailure = Failure{};
  return failure;
}

void NoteThreadFailure(Failure failure) { threadFailure = failure; }

Failure ThreadFailure() { return threadFailure; }

}  // namespace lumo

extern "C" const char* LumoErrorText(int kind) {
  switch (kind) {
    case LUMO_ERROR_NONE:
      return "no error";
    case LUMO_ERROR_NOT_OPEN:
      return "camera not open";
    case LUMO_ERROR_REMOVED:
      return "camera removed";
    case LUMO_ERROR_TIMED_OUT:
      return "timed out";
    case LUMO_ERROR_CHECK_BYTE:
      return "check-byte error";
    case LUMO_ERROR_REFUSED:
      return "refused by the camera";
    case LUMO_ERROR_BAD_ARGUMENT:
      return "bad argument";
    case LUMO_ERROR_OS:
      return "operating system error";
    case LUMO_ERROR_NO_CAMERA:
      return "no such camera";
    case LUMO_ERROR_ALL_LENT:
      return "all spare frames lent";
    case LUMO_ERROR_NOT_LENT:
      return "frame not lent by this camera";
    case LUMO_ERROR_CALLBACK_SET:
      return "frame callback set";
    default:
      return "unknown error";
  }
}
