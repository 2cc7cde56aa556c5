// The Dolphin menu plug-in (kf5/kfileitemaction/vrk-dolphin-menu.so): for one selected item under
// the sync root, the extension's entries in its context menu (asked on Dolphin's main thread,
// within the menu's bound), and a chosen entry relayed to the extension with the item's path.
#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <QAction>
#include <QMenu>
#include <QTimer>
#include <QWidget>

#include <vector>

#include "Tools/dolphin/DolphinHost.h"

namespace {

using vrk::dolphin::Host;
using vrk::filemanager::HostCore;

constexpr vrk::filemanager::FrontEnd kFrontEnd = vrk::dolphin::FrontEndNamed("vrk-dolphin-menu");
// The menu's own bound (Timing::menuWait): the extension's start counts against it too.
constexpr std::chrono::milliseconds kStartWait{1000};

// For the end-to-end test, whose Qt menus are not in the accessibility tree: once the menu is
// shown, where on the screen each of our entries is ("menu" x y width height title).
void TraceWhereShown(const QList<QAction*>& actions) {
  if (qEnvironmentVariableIsEmpty("VRK_DOLPHIN_TRACE") || actions.isEmpty()) return;
  QTimer::singleShot(300, actions.first(), [actions] {
    for (QAction* action : actions) {
      for (QWidget* widget : action->associatedWidgets()) {
        auto* menu = qobject_cast<QMenu*>(widget);
        if (!menu || !menu->isVisible()) continue;
        const QRect at = menu->actionGeometry(action);
        const QPoint origin = menu->mapToGlobal(at.topLeft());
        vrk::dolphin::Trace("VRK_DOLPHIN_TRACE", QStringLiteral("0 menu %1 %2 %3 %4 %5")
                                                     .arg(origin.x())
                                                     .arg(origin.y())
                                                     .arg(at.width())
                                                     .arg(at.height())
                                                     .arg(action->text()));
      }
    }
  });
}

}  // namespace

class VrkActionPlugin final : public KAbstractFileItemActionPlugin {
  Q_OBJECT

 public:
  VrkActionPlugin(QObject* parent, const QVariantList&) : KAbstractFileItemActionPlugin(parent) {
    // The extension starts now, while Dolphin builds the menu, rather than at the first question.
    Host::instance(kFrontEnd);
  }

  QList<QAction*> actions(const KFileItemListProperties& properties, QWidget*) override {
    const KFileItemList items = properties.items();
    if (items.size() != 1) return {};
    Host& host = Host::instance(kFrontEnd);
    GObject* item = host.item(items.first().url());
    if (!item) return {};
    host.core().waitUntilReady(kStartWait);
    QList<QAction*> actions;
    for (HostCore::MenuEntry& entry : host.core().menu({item})) {
      auto* action = new QAction(QString::fromStdString(entry.title), this);
      action->setEnabled(entry.enabled);
      if (entry.enabled) {
        connect(action, &QAction::triggered, this, [entry = std::move(entry)] {
          Host& host = Host::instance(kFrontEnd);
          host.core().perform(entry);
          host.pumpSoon();
        });
      }
      actions.append(action);
    }
    host.pumpSoon();
    TraceWhereShown(actions);
    return actions;
  }
};

K_PLUGIN_CLASS_WITH_JSON(VrkActionPlugin, "action.json")

#include "ActionPlugin.moc"
