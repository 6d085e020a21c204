// The lumo plugin: registers lumosrc.
#include <gst/gst.h>

#include "LumoSrc.h"

static gboolean plugin_init(GstPlugin* plugin) {
  return gst_element_register(plugin, "lumosrc", GST_RANK_NONE, GST_TYPE_LUMO_SRC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, lumo,
                  "Sources for Lumo USB3 industrial cameras", plugin_init, LUMO_GST_VERSION,
                  "MIT/X11", "libLumoUsb", "libLumoUsb")
