#include "Tools/filemanager/SdEventSource.h"

#include "Platform/Foundation/NSLog.h"

namespace vrk::filemanager {
namespace {

struct SdEventSource {
  GSource base;
  sd_event* event;
  gpointer tag;
  const char* logName;
};

// sd-event runs as prepare -> wait -> dispatch. GLib may skip the check of a low-priority source
// in an iteration where a higher one was ready, which leaves sd-event armed; a wait without
// blocking brings it back to a state from which it can be prepared again.
int Settle(sd_event* event) {
  int state = sd_event_get_state(event);
  if (state == SD_EVENT_ARMED) {
    if (int r = sd_event_wait(event, 0); r < 0) return r;
    state = sd_event_get_state(event);
  }
  return state;
}

gboolean Prepare(GSource* base, gint* timeout) {
  auto* self = reinterpret_cast<SdEventSource*>(base);
  *timeout = -1;
  int state = Settle(self->event);
  if (state == SD_EVENT_PENDING) return TRUE;
  if (state != SD_EVENT_INITIAL) return FALSE;
  int r = sd_event_prepare(self->event);
  if (r < 0) NSLog("%s: sd_event_prepare failed: %d", self->logName, r);
  return r > 0;
}

gboolean Check(GSource* base) {
  auto* self = reinterpret_cast<SdEventSource*>(base);
  if (sd_event_get_state(self->event) == SD_EVENT_PENDING) return TRUE;
  if (sd_event_get_state(self->event) != SD_EVENT_ARMED) return FALSE;
  return sd_event_wait(self->event, 0) > 0;
}

gboolean Dispatch(GSource* base, GSourceFunc, gpointer) {
  auto* self = reinterpret_cast<SdEventSource*>(base);
  if (sd_event_get_state(self->event) == SD_EVENT_PENDING) {
    if (int r = sd_event_dispatch(self->event); r < 0) {
      NSLog("%s: sd_event_dispatch failed: %d", self->logName, r);
    }
  }
  return G_SOURCE_CONTINUE;
}

void Finalize(GSource* base) {
  auto* self = reinterpret_cast<SdEventSource*>(base);
  sd_event_unref(self->event);
}

GSourceFuncs kFuncs = {Prepare, Check, Dispatch, Finalize, nullptr, nullptr};

}  // namespace

GSource* AttachSdEvent(sd_event* event, GMainContext* context, const char* logName) {
  const int fd = event ? sd_event_get_fd(event) : -1;
  if (fd < 0) return nullptr;
  GSource* base = g_source_new(&kFuncs, sizeof(SdEventSource));
  auto* self = reinterpret_cast<SdEventSource*>(base);
  self->event = sd_event_ref(event);
  self->logName = logName;
  self->tag = g_source_add_unix_fd(base, fd, G_IO_IN);
  g_source_set_name(base, "vrk sd-event");
  g_source_attach(base, context);
  return base;
}

}  // namespace vrk::filemanager
