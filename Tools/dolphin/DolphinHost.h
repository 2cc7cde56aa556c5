// Dolphin's front end of the file-manager host core, shared by its two plug-ins (the overlay
// plug-in and the menu plug-in): the core of the process, the Qt glue that drives our run loop,
// and the items Dolphin asks about as the GObjects the core tracks.
//
// Contract:
// - Main thread only: Dolphin calls its plug-ins there, and the core and our run loop live there.
// - Each plug-in library has one Host for its whole process, made by the first plug-in object
//   Dolphin constructs (Dolphin makes and drops plug-in objects with its views and menus; the
//   extension must outlive them). It is destroyed when the application is about to quit; at an
//   exit without that, it is left to the process's end, when the extension sees its connection
//   close and ends too.
// - The run loop is served from Qt's event loop: a QSocketNotifier on the sd-event descriptor
//   (its timers wake that descriptor too), a run before Qt's loop sleeps (where sd-event's
//   sources arm what they wait for) and a zero-time QTimer for work that is due at once.
//   The core's own timers are GLib sources, which Qt's default event dispatcher on Linux serves;
//   under another dispatcher the GLib main context is iterated from a QTimer.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Tools/filemanager/HostCore.h"

class QSocketNotifier;
class QTimer;

namespace vrk::dolphin {

// How Dolphin asks, for the core; each plug-in logs under its own name. Dolphin asks only about
// what it shows, once it has loaded the folder, soon enough that nothing is listed ahead of it.
constexpr filemanager::FrontEnd FrontEndNamed(const char* log) {
  return {.log = log,
          .extensionEnv = "VRK_DOLPHIN_EXTENSION",
          .traceEnv = "VRK_DOLPHIN_TRACE",
          .asksOnlyWhatIsShown = true,
          .listsAhead = false,
          .asksAfterLoading = true};
}

// Serves the main run loop's sd-event loop from Qt's event loop.
class QtRunLoopDriver final {
 public:
  QtRunLoopDriver();
  ~QtRunLoopDriver();
  QtRunLoopDriver(const QtRunLoopDriver&) = delete;
  QtRunLoopDriver& operator=(const QtRunLoopDriver&) = delete;

  // Runs what is due now. Leaves sd-event ready to be run again from anywhere (its initial
  // state), with its timers armed on the descriptor, so that a bounded wait of the host library
  // (a menu, the extension's start) may run the loop itself in between.
  void pump();
  // Runs what is due from the next turn of Qt's loop: after a call that queued messages.
  void pumpSoon();

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
  std::unique_ptr<QTimer> again_;
  std::unique_ptr<QTimer> glib_;
};

class Host final {
 public:
  // The process's host of this plug-in library, made on first use with `frontEnd`.
  static Host& instance(filemanager::FrontEnd frontEnd);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  filemanager::HostCore& core() { return *core_; }
  // After a call into the core outside the run loop: what it queued goes out soon.
  void pumpSoon() { driver_.pumpSoon(); }

  // The item the core tracks for `url` (kept for the process's life, within a cap), null for a
  // URL that is not a local file.
  GObject* item(const QUrl& url);
  // The core's answer about `url`: the overlays to show now.
  QStringList overlays(const QUrl& url);
  // The overlays an answer would give now, without answering (for overlaysChanged).
  QStringList currentOverlays(GObject* item) const;

  // Called with an item whose overlays changed; the overlay plug-in emits overlaysChanged.
  std::function<void(const QUrl&, const QStringList&)> onChanged;

  // The URL Dolphin asked about for `item`, exactly as it gave it (Dolphin finds its items by it).
  QUrl urlOf(GObject* item) const;

 private:
  explicit Host(filemanager::FrontEnd frontEnd);
  static void AddEmblem(GObject* item, const char* name);
  static void Invalidate(GObject* item);
  static char* Uri(GObject* item);

  QtRunLoopDriver driver_;
  std::unique_ptr<filemanager::HostCore> core_;
  // The items by URL, in the order first asked about, so that the oldest go first at the cap.
  std::map<QString, GObject*> items_;
  std::map<GObject*, QUrl> urls_;
  std::deque<QString> order_;
};

// Appends one line to the trace file that `variable` names, if set (for tests and the benchmark).
void Trace(const char* variable, const QString& line);

}  // namespace vrk::dolphin
