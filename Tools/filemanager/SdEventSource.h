// Drives an sd-event loop from a GLib main context, so that the host library's connection (and
// every other source of the run loop) is served by the loop the file manager runs.
//
// Contract: AttachSdEvent adds a GSource to `context` (null: the default context) that polls the
// sd-event loop's descriptor and runs its prepare/wait/dispatch steps; no busy polling, and
// sd-event's own timers wake it through that descriptor. The returned source holds a reference
// on `event`; destroy it with g_source_destroy and g_source_unref on the context's thread, which
// must be the only thread that runs the sd-event loop. Null when the loop has no descriptor.
#pragma once

#include <glib.h>
#include <systemd/sd-event.h>

namespace vrk::filemanager {

// `logName` starts its log lines and must outlive the source.
GSource* AttachSdEvent(sd_event* event, GMainContext* context, const char* logName);

}  // namespace vrk::filemanager
