// libvrk-nemo.so: the Nemo (Cinnamon's file manager) module that hosts the FinderSync extension.
#include <glib-object.h>
#include <gmodule.h>
#include <gtk/gtk.h>
#include <libnemo-extension/nemo-extension-types.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-info-provider.h>
#include <libnemo-extension/nemo-menu-item.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>

#include <vector>

#define VRK_FM_T(x) Nemo##x
#define VRK_FM_F(x) nemo_##x
#define VRK_FM_M(x) NEMO_##x
#define VRK_FM_NAMES                                                                       \
  {                                                                                        \
    .log = "vrk-nemo", .extensionEnv = "VRK_NEMO_EXTENSION", .traceEnv = "VRK_NEMO_TRACE", \
    .asksOnlyWhatIsShown = true, .listsAhead = false                                       \
  }

#include "Tools/filemanager/Gtk3Module.inc"
