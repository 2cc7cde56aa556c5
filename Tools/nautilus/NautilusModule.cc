// libvrk-nautilus.so: the GNOME Files (Nautilus 43) module that hosts the FinderSync extension.
// One provider type answers badge requests (NautilusInfoProvider), builds the context menu
// (NautilusMenuProvider) and shows a badge's label in the item's properties
// (NautilusPropertiesModelProvider); all of them forward to the module's NautilusHost.
#include <glib-object.h>
extern "C" {
#include <nautilus-extension.h>
}

#include "Tools/nautilus/NautilusHost.h"

namespace {

// Never destroyed at exit: GNOME Files need not call nautilus_module_shutdown, and tearing the
// host down while the process exits would call into a GLib that is going away. The extension
// sees its connection close when the process ends, and ends too.
vrk::nautilus::NautilusHost* g_host = nullptr;

}  // namespace

extern "C" {

#define VRK_TYPE_NAUTILUS_PROVIDER (vrk_nautilus_provider_get_type())

struct VrkNautilusProvider {
  GObject parent_instance;
};
struct VrkNautilusProviderClass {
  GObjectClass parent_class;
};

static NautilusOperationResult vrk_update_file_info(NautilusInfoProvider*, NautilusFileInfo* file,
                                                    GClosure*, NautilusOperationHandle**) {
  if (!g_host) return NAUTILUS_OPERATION_COMPLETE;
  return g_host->updateFileInfo(file);
}

// Nothing is ever in progress.
static void vrk_cancel_update(NautilusInfoProvider*, NautilusOperationHandle*) {}

static GList* vrk_get_file_items(NautilusMenuProvider*, GList* files) {
  return g_host ? g_host->fileItems(files) : nullptr;
}

static GList* vrk_get_background_items(NautilusMenuProvider*, NautilusFileInfo* folder) {
  return g_host ? g_host->backgroundItems(folder) : nullptr;
}

static GList* vrk_get_models(NautilusPropertiesModelProvider*, GList* files) {
  return g_host ? g_host->propertiesModels(files) : nullptr;
}

static void vrk_info_provider_init(NautilusInfoProviderInterface* iface) {
  iface->update_file_info = vrk_update_file_info;
  iface->cancel_update = vrk_cancel_update;
}

static void vrk_menu_provider_init(NautilusMenuProviderInterface* iface) {
  iface->get_file_items = vrk_get_file_items;
  iface->get_background_items = vrk_get_background_items;
}

static void vrk_properties_provider_init(NautilusPropertiesModelProviderInterface* iface) {
  iface->get_models = vrk_get_models;
}

G_DEFINE_DYNAMIC_TYPE_EXTENDED(
    VrkNautilusProvider, vrk_nautilus_provider, G_TYPE_OBJECT, 0,
    G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_INFO_PROVIDER, vrk_info_provider_init)
        G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_MENU_PROVIDER, vrk_menu_provider_init)
            G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_PROPERTIES_MODEL_PROVIDER,
                                          vrk_properties_provider_init))

static void vrk_nautilus_provider_init(VrkNautilusProvider*) {}
static void vrk_nautilus_provider_class_init(VrkNautilusProviderClass*) {}
static void vrk_nautilus_provider_class_finalize(VrkNautilusProviderClass*) {}

static GType g_types[1];

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module) {
  vrk_nautilus_provider_register_type(module);
  g_types[0] = VRK_TYPE_NAUTILUS_PROVIDER;
  if (!g_host) g_host = new vrk::nautilus::NautilusHost();
}

G_MODULE_EXPORT void nautilus_module_shutdown(void) {
  delete g_host;
  g_host = nullptr;
}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* num_types) {
  *types = g_types;
  *num_types = G_N_ELEMENTS(g_types);
}

}  // extern "C"
