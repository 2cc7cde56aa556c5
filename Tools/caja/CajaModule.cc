// libvrk-caja.so: the Caja (MATE's file manager) module that hosts the FinderSync extension.
#include <glib-object.h>
#include <gmodule.h>
#include <gtk/gtk.h>
#include <libcaja-extension/caja-extension-types.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-info-provider.h>
#include <libcaja-extension/caja-menu-item.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>

#include <vector>

#define VRK_FM_T(x) Caja##x
#define VRK_FM_F(x) caja_##x
#define VRK_FM_M(x) CAJA_##x
#define VRK_FM_NAMES \
  { "vrk-caja", "VRK_CAJA_EXTENSION", "VRK_CAJA_TRACE" }

#include "Tools/filemanager/Gtk3Module.inc"
