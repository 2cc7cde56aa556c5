// The Dolphin overlay plug-in (kf5/overlayicon/vrk-dolphin-overlays.so): each item's badge as an
// overlay icon, answered at once from what the host core knows; overlaysChanged when a badge
// arrives or changes, never for one that stayed the same (every emit makes Dolphin ask again).
#include <KOverlayIconPlugin>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include "Tools/dolphin/DolphinHost.h"

class VrkOverlayPlugin;

namespace {

using vrk::dolphin::Host;

constexpr vrk::filemanager::FrontEnd kFrontEnd = vrk::dolphin::FrontEndNamed("vrk-dolphin");

// Dolphin makes one object per view (each tab and split view); a change goes to all of them.
// Never destroyed: Qt destroys a plug-in's root object at the process's exit, after statics.
QSet<VrkOverlayPlugin*>& Plugins() {
  static auto* plugins = new QSet<VrkOverlayPlugin*>();
  return *plugins;
}

}  // namespace

// The metadata must be declared in the class with Q_PLUGIN_METADATA: through
// K_PLUGIN_CLASS_WITH_JSON Dolphin loads the library but never constructs the plug-in.
class VrkOverlayPlugin final : public KOverlayIconPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.vrk.FinderSync.KOverlayIconPlugin" FILE "overlay.json")

 public:
  explicit VrkOverlayPlugin(QObject* parent = nullptr) : KOverlayIconPlugin(parent) {
    Host& host = Host::instance(kFrontEnd);
    Plugins().insert(this);
    if (!host.onChanged) {
      host.onChanged = [](const QUrl& url, const QStringList& overlays) {
        for (VrkOverlayPlugin* plugin : Plugins()) Q_EMIT plugin->overlaysChanged(url, overlays);
      };
    }
  }
  ~VrkOverlayPlugin() override { Plugins().remove(this); }

  QStringList getOverlays(const QUrl& item) override {
    return Host::instance(kFrontEnd).overlays(item);
  }
};

#include "OverlayPlugin.moc"
