// The GNOME Files front end of the file-manager host core: what the module's providers call,
// turned into the core's calls with GNOME Files' own types (NautilusFileInfo, NautilusMenuItem,
// NautilusPropertiesModel).
//
// Contract: one object per module, made in nautilus_module_initialize and destroyed in
// nautilus_module_shutdown, both on the main thread; every call comes on the main thread. Every
// badge question is answered at once (HostCore.h); menus and actions wait at most their bound.
#pragma once

#include <glib-object.h>
extern "C" {
#include <nautilus-extension.h>
}

#include "Tools/filemanager/HostCore.h"

namespace vrk::nautilus {

using filemanager::Timing;

class NautilusHost {
 public:
  explicit NautilusHost(Timing timing = {});

  // NautilusInfoProvider: always NAUTILUS_OPERATION_COMPLETE, GNOME Files is never held.
  NautilusOperationResult updateFileInfo(NautilusFileInfo* file);
  // NautilusMenuProvider.
  GList* fileItems(GList* files);
  GList* backgroundItems(NautilusFileInfo* folder);
  // NautilusPropertiesModelProvider: the badge's label of one selected item.
  GList* propertiesModels(GList* files);

 private:
  filemanager::HostCore core_;
};

}  // namespace vrk::nautilus
