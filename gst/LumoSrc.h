// lumosrc: a live source of the frames of one camera (see LumoSrc.cpp).
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_LUMO_SRC (gst_lumo_src_get_type())
G_DECLARE_FINAL_TYPE(GstLumoSrc, gst_lumo_src, GST, LUMO_SRC, GstPushSrc)

G_END_DECLS
