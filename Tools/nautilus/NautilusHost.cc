#include "Tools/nautilus/NautilusHost.h"

#include <string>
#include <vector>

namespace vrk::nautilus {
namespace {

char* Uri(GObject* item) {
  return nautilus_file_info_get_uri(NAUTILUS_FILE_INFO(item));
}

void AddEmblem(GObject* item, const char* name) {
  nautilus_file_info_add_emblem(NAUTILUS_FILE_INFO(item), name);
}

void Invalidate(GObject* item) {
  nautilus_file_info_invalidate_extension_info(NAUTILUS_FILE_INFO(item));
}

GObject* MakeMenuItem(const char* name, const char* label) {
  return G_OBJECT(nautilus_menu_item_new(name, label, nullptr, nullptr));
}

}  // namespace

NautilusHost::NautilusHost(Timing timing)
    : core_({"vrk-nautilus", "VRK_NAUTILUS_EXTENSION", "VRK_NAUTILUS_TRACE"},
            {&Uri, &AddEmblem, &Invalidate}, timing) {}

NautilusOperationResult NautilusHost::updateFileInfo(NautilusFileInfo* file) {
  core_.answer(G_OBJECT(file));
  return NAUTILUS_OPERATION_COMPLETE;
}

GList* NautilusHost::fileItems(GList* files) {
  std::vector<GObject*> selection;
  for (GList* l = files; l; l = l->next) selection.push_back(G_OBJECT(l->data));
  return core_.menuItems(selection, &MakeMenuItem);
}

GList* NautilusHost::backgroundItems(NautilusFileInfo* folder) {
  core_.folderShown(G_OBJECT(folder));
  return nullptr;
}

GList* NautilusHost::propertiesModels(GList* files) {
  if (!files || files->next) return nullptr;
  std::optional<std::string> label = core_.label(G_OBJECT(files->data));
  if (!label) return nullptr;
  GListStore* store = g_list_store_new(NAUTILUS_TYPE_PROPERTIES_ITEM);
  g_autoptr(NautilusPropertiesItem) status = nautilus_properties_item_new("Status", label->c_str());
  g_list_store_append(store, status);
  // The model's documentation leaves open whether it takes our reference to the store or adds
  // its own; release ours only in the second case.
  const guint before = G_OBJECT(store)->ref_count;
  NautilusPropertiesModel* model = nautilus_properties_model_new("Sync", G_LIST_MODEL(store));
  if (G_OBJECT(store)->ref_count > before) g_object_unref(store);
  return g_list_append(nullptr, model);
}

}  // namespace vrk::nautilus
