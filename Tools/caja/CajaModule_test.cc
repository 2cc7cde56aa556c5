// libvrk-caja.so outside Caja, with a fake CajaFileInfo (see Gtk3Module_test.inc).
#include <glib-object.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-info-provider.h>
#include <libcaja-extension/caja-menu-provider.h>

#define VRK_FM_T(x) Caja##x
#define VRK_FM_F(x) caja_##x
#define VRK_FM_M(x) CAJA_##x
#define VRK_FM_FILE_INFO_IFACE CajaFileInfoIface
#define VRK_FM_PREFIX "caja"
#define VRK_FM_TEST CajaModuleTest
#define VRK_FM_EXTENSION_ENV "VRK_CAJA_EXTENSION"

#include "Tools/filemanager/Gtk3Module_test.inc"
