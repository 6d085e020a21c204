// Fills the caller's LUMO_U3V_ImageInfo record from a frame's header.
#pragma once

#include "lumo/FrameRecord.h"
#include "lumo/lumo_u3v.h"

namespace lumo::flat {

// Writes pixel format, the two zero words, width, height and the image
// address (both address fields on 64-bit builds) into `record`; no other
// byte of it is touched. The record need not be aligned.
void FillImageInfo(const FrameRecordHeader& frame, LUMO_U3V_ImageInfo* record);

}  // namespace lumo::flat
