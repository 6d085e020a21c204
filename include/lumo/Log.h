/* Log.h: where the library's console messages go. Usable from C and C++.
 *
 * The library writes a few diagnostic messages (a frame lost for want of a
 * buffer, a corrupt answer, a failing transfer, ...), each a line ending in
 * "\r\n", to standard output unless the application installs a sink.
 * Repeats are collapsed: a frame that is lost is reported once, and a
 * failure that repeats is reported when it starts and then at most once a
 * second, by a line that says how often it repeated. */
#ifndef LUMO_LOG_H
#define LUMO_LOG_H

#include "lumo/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives each message. `camera` is the handle of the camera the message
 * concerns, or null when it concerns none in particular; `message` is the
 * text with its "\r\n", valid during the call only. The sink may be called
 * from any of the library's threads, also from several at once. */
typedef void (*LumoLogSink)(void* context, void* camera, const char* message);

/* Installs `sink`, called with `context`; null restores standard output,
 * and a sink that does nothing silences the library. Once this returns,
 * the previous sink is no longer running and is not called again (called
 * from within a sink, it cannot wait for that sink's own return). */
LUMO_API void LumoSetLogSink(LumoLogSink sink, void* context);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_LOG_H */
