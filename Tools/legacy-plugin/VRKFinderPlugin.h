// The C interface between vrk-finder and the legacy Finder bundle it loads (a scripting addition:
// VRKFinderPlugin.osax/Contents/MacOS/VRKFinderPlugin.so). vrk-finder finds these symbols with
// dlsym; every string it receives is malloc'd and freed by vrk-finder.
//
// - VRKOSAXHandler_NVTYload: the handler of the Apple event NVTY/load. The first call vends the
//   bundle's root object under "com.quenset.IPCServ.TestService" on the session bus before it
//   returns, and serves it on a thread of the bundle's own; later calls do nothing. 0 on
//   success; otherwise -1 with a message in `error` (at most `size` bytes, NUL-terminated).
//   Any process of the user may call that object, so what the bundle keeps is bounded
//   (VRKFinderPlugin.cc names the caps): a call whose arguments weigh too much is refused
//   before it is decoded, and one holding a string longer than a path after, both answered
//   with an error; a new path past the badge table's cap is refused with LimitsExceeded while a
//   path already kept still changes. Each kind of refusal logs one line per burst.
// - VRKFinderPluginCopyState: what the bundle shows, as a JSON object: "root" (string or null),
//   "hidden", "language", "badges" (path -> badge type), "menuItems" (the last list received, or
//   null) and "received" (selector -> number of messages received, and
//   "kVRKDylibWillDieSoonNotification" -> number of will-die notifications seen).
// - VRKFinderPluginCopyMenu: the bundle's items for one item (a JSON array of {"title",
//   "command"}), or JSON null for no menu. For an item strictly under the root it first asks the
//   library over the Mach bridge, as the extension does, and waits at most about a second for
//   the answer, during which the library sends the items to the root object.
// - VRKFinderPluginUnload: stops serving and releases the name; for the host's exit.
// All but the handler must be called on one thread (vrk-finder's main thread).
#pragma once

#include <stddef.h>

extern "C" {
int VRKOSAXHandler_NVTYload(char* error, size_t size);
char* VRKFinderPluginCopyState(void);
char* VRKFinderPluginCopyMenu(const char* path);
void VRKFinderPluginUnload(void);
}
