// libvrk-nemo.so outside Nemo, with a fake NemoFileInfo (see Gtk3Module_test.inc).
#include <glib-object.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-info-provider.h>
#include <libnemo-extension/nemo-menu-provider.h>

#define VRK_FM_T(x) Nemo##x
#define VRK_FM_F(x) nemo_##x
#define VRK_FM_M(x) NEMO_##x
#define VRK_FM_FILE_INFO_IFACE NemoFileInfoInterface
#define VRK_FM_PREFIX "nemo"
#define VRK_FM_TEST NemoModuleTest
#define VRK_FM_EXTENSION_ENV "VRK_NEMO_EXTENSION"
// Nemo asks only about the items in view.
#define VRK_FM_ASKS_ONLY_WHAT_IS_SHOWN 1

#include "Tools/filemanager/Gtk3Module_test.inc"
