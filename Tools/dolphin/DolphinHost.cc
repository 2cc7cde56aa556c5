#include "Tools/dolphin/DolphinHost.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <systemd/sd-event.h>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"

namespace vrk::dolphin {
namespace {

// Dispatches in one turn of Qt's loop, at most; the rest waits for the next turn, so that a busy
// connection cannot starve Dolphin's own events.
constexpr int kDispatchesPerTurn = 64;
// Items kept for Dolphin's questions; beyond it the ones asked about longest ago are let go (the
// core then stops following their folder once all of its items went).
constexpr std::size_t kMaxItems = 250'000;
// How often the GLib main context is iterated when Qt's dispatcher is not GLib's own.
constexpr int kGlibIntervalMs = 10;

// The answer being given: the overlays the core adds go here.
QStringList* g_answer = nullptr;
// The host of this library (each plug-in library has its own copy of the core).
Host* g_host = nullptr;

}  // namespace

QtRunLoopDriver::QtRunLoopDriver() {
  sd_event* event = RunLoop::main().event();
  const int fd = event ? sd_event_get_fd(event) : -1;
  again_ = std::make_unique<QTimer>();
  again_->setSingleShot(true);
  again_->setInterval(0);
  QObject::connect(again_.get(), &QTimer::timeout, [this] { pump(); });
  if (fd >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { pump(); });
  } else {
    NSLog("vrk-dolphin: the run loop has no descriptor; no extension");
  }
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  // sd-event's sources settle what they wait for in its prepare step (sd-bus only then asks to
  // be woken for output it has queued), so a run comes before Qt's loop sleeps, every time.
  if (dispatcher) {
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [this] { pump(); });
  }
  if (dispatcher && !dispatcher->inherits("QEventDispatcherGlib")) {
    glib_ = std::make_unique<QTimer>();
    glib_->setInterval(kGlibIntervalMs);
    QObject::connect(glib_.get(), &QTimer::timeout, [] {
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
    });
    glib_->start();
  }
  // Whatever was queued before the notifier existed.
  again_->start();
}

QtRunLoopDriver::~QtRunLoopDriver() = default;

void QtRunLoopDriver::pump() {
  sd_event* event = RunLoop::main().event();
  if (!event) return;
  // A run's prepare step arms sd-event's timers on its descriptor; a run that dispatched nothing
  // leaves it in its initial state, ready for the next one.
  for (int i = 0; i < kDispatchesPerTurn; ++i) {
    const int r = sd_event_run(event, 0);
    if (r < 0) {
      NSLog("vrk-dolphin: sd_event_run failed: %d", r);
      return;
    }
    if (r == 0) return;
  }
  again_->start();
}

void QtRunLoopDriver::pumpSoon() {
  again_->start();
}

Host& Host::instance(filemanager::FrontEnd frontEnd) {
  if (!g_host) {
    g_host = new Host(frontEnd);
    if (QCoreApplication* app = QCoreApplication::instance()) {
      QObject::connect(app, &QCoreApplication::aboutToQuit, [] {
        delete g_host;
        g_host = nullptr;
      });
    }
  }
  return *g_host;
}

Host::Host(filemanager::FrontEnd frontEnd) {
  frontEnd.drivesRunLoop = true;
  core_ = std::make_unique<filemanager::HostCore>(
      frontEnd, filemanager::ItemOps{&Uri, &AddEmblem, &Invalidate});
}

Host::~Host() {
  // The core lets go of its weak references before the items go.
  core_.reset();
  for (auto& [url, item] : items_) g_object_unref(item);
}

GObject* Host::item(const QUrl& url) {
  if (!url.isLocalFile()) return nullptr;
  const QString key = url.toString(QUrl::FullyEncoded);
  auto found = items_.find(key);
  if (found != items_.end()) return found->second;
  if (items_.size() >= kMaxItems) {
    auto oldest = items_.find(order_.front());
    order_.pop_front();
    if (oldest != items_.end()) {
      urls_.erase(oldest->second);
      g_object_unref(oldest->second);
      items_.erase(oldest);
    }
  }
  GObject* item = G_OBJECT(g_file_new_for_uri(key.toUtf8().constData()));
  items_.emplace(key, item);
  urls_.emplace(item, url);
  order_.push_back(key);
  return item;
}

QStringList Host::overlays(const QUrl& url) {
  QStringList answer;
  GObject* file = item(url);
  if (!file) return answer;
  g_answer = &answer;
  core_->answer(file);
  g_answer = nullptr;
  driver_.pumpSoon();
  return answer;
}

QStringList Host::currentOverlays(GObject* item) const {
  const std::string emblem = core_->emblemOf(item);
  return emblem.empty() ? QStringList() : QStringList{QString::fromStdString(emblem)};
}

QUrl Host::urlOf(GObject* item) const {
  auto found = urls_.find(item);
  return found == urls_.end() ? QUrl() : found->second;
}

char* Host::Uri(GObject* item) {
  return g_file_get_uri(G_FILE(item));
}

void Host::AddEmblem(GObject*, const char* name) {
  if (g_answer) g_answer->append(QString::fromUtf8(name));
}

void Host::Invalidate(GObject* item) {
  if (!g_host || !g_host->onChanged) return;
  g_host->onChanged(g_host->urlOf(item), g_host->currentOverlays(item));
}

void Trace(const char* variable, const QString& line) {
  const QByteArray path = qgetenv(variable);
  if (path.isEmpty()) return;
  QFile file(QString::fromLocal8Bit(path));
  if (file.open(QIODevice::WriteOnly | QIODevice::Append)) file.write((line + '\n').toUtf8());
}

}  // namespace vrk::dolphin
