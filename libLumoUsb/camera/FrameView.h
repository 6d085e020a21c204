// FrameView: what a caller learns of a frame record it is handed
// (lumo/Frame.h), from the record's header and the facts the library keeps
// beside it.
#pragma once

#include "camera/FrameRecord.h"
#include "lumo/Frame.h"

namespace lumo::camera {

void DescribeFrame(FrameRecord& record, LumoFrame* frame);

}  // namespace lumo::camera
