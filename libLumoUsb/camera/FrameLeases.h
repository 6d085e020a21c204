// FrameLeases: every frame record lent to a caller in the process, by its
// address. A lease keeps the record's pool alive and knows the camera it
// came from, so that it can be given back from any thread at any time,
// also after acquisition stopped or its camera was closed or dropped, and
// so that a record that is not lent (never taken, given back already,
// another camera's, or no record at all) is refused without being touched.
#pragma once

#include <memory>

#include "camera/FrameHandOut.h"

namespace lumo::camera {

struct Lease {
  const void* owner = nullptr;  // the camera's handle
  std::shared_ptr<FramePool> pool;
  std::shared_ptr<LeaseReturn> back;
};

// Records `record` as lent under `lease`.
void AddLease(const FrameRecord* record, Lease lease);

// Ends the lease of the record at `record` held by `owner` and gives the
// record back to its camera's hand-out, if it still lives. False, changing
// nothing, when no such lease exists; *otherOwner tells whether the record
// is lent, but by another camera.
bool EndLease(const void* owner, const void* record, bool* otherOwner);

}  // namespace lumo::camera
