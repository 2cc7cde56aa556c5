// NSAppleScript on the session bus.
#include "Platform/AppleScript/NSAppleScript.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <variant>

#include "Platform/AppleScript/AppleEventWire.h"
#include "Platform/AppleScript/AppleScriptSource.h"
#include "Platform/Foundation/SdBus.h"
#include "Platform/Foundation/SessionBus.h"

namespace vrk {

namespace {

constexpr std::int64_t kSyntaxError = -2741;
constexpr std::int64_t kApplicationNotRunning = -600;
constexpr std::int64_t kEventNotHandled = -1708;
constexpr std::int64_t kConnectionInvalid = -609;
constexpr std::int64_t kEventTimedOut = -1712;
constexpr std::int64_t kEventFailed = -10000;

Object ErrorInfo(std::int64_t number, const std::string& message, const std::string* app) {
  ObjectDictionary info{{"NSAppleScriptErrorNumber", Object::numberWithInteger(number)},
                        {"NSAppleScriptErrorMessage", Object(message)},
                        {"NSAppleScriptErrorBriefMessage", Object(message)}};
  if (app != nullptr) info.emplace("NSAppleScriptErrorAppName", Object(*app));
  return Object(std::move(info));
}

struct ErrorFree {
  void operator()(sd_bus_error* e) const { sd_bus_error_free(e); }
};

}  // namespace

std::shared_ptr<NSAppleScript> NSAppleScript::initWithSource(std::string source) {
  return std::shared_ptr<NSAppleScript>(new NSAppleScript(std::move(source)));
}

std::optional<Object> NSAppleScript::executeAndReturnError(Object* errorInfo) {
  auto failed = [&](Object info) -> std::optional<Object> {
    if (errorInfo != nullptr) *errorInfo = std::move(info);
    return std::nullopt;
  };
  auto compiled = CompileAppleScript(source_);
  if (const auto* syntax = std::get_if<AppleScriptSyntaxError>(&compiled)) {
    return failed(ErrorInfo(kSyntaxError, syntax->message, nullptr));
  }
  const AppleScriptEvent& event = std::get<AppleScriptEvent>(compiled);
  const std::string& app = event.application;

  sd_bus* bus = dbus::ThreadSessionBus();
  if (bus == nullptr) {
    return failed(ErrorInfo(kApplicationNotRunning, app + " isn\u2019t running.", &app));
  }
  const std::string destination = appleevents::ApplicationBusName(app);
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, destination.c_str(), appleevents::kPath,
                                         appleevents::kInterface, appleevents::kMember);
  dbus::MessagePtr call(raw);
  if (r >= 0) {
    r = sd_bus_message_append(call.get(), appleevents::kSignature, event.eventClass.c_str(),
                              event.eventID.c_str());
  }
  if (r < 0) return failed(ErrorInfo(kEventFailed, "The event could not be built.", &app));

  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::unique_ptr<sd_bus_error, ErrorFree> errorOwner(&error);
  sd_bus_message* reply = nullptr;
  const auto timeout =
      std::chrono::duration_cast<std::chrono::microseconds>(kAppleEventTimeout).count();
  const auto started = std::chrono::steady_clock::now();
  r = sd_bus_call(bus, call.get(), static_cast<std::uint64_t>(timeout), &error, &reply);
  dbus::MessagePtr replyOwner(reply);
  if (r >= 0) return Object();

  const std::string text = error.message ? error.message : "";
  if (dbus::IsNoOwnerError(&error)) {
    return failed(ErrorInfo(kApplicationNotRunning, app + " isn\u2019t running.", &app));
  }
  if (sd_bus_error_has_name(&error, appleevents::kEventNotHandledError) ||
      sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
      sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
      sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_INTERFACE)) {
    return failed(ErrorInfo(
        kEventNotHandled,
        app + " got an error: " + event.eventClass + event.eventID + " doesn\u2019t understand it.",
        &app));
  }
  if (r == -ETIMEDOUT) {
    // The bus reports both our own time-out and an application that went away without answering
    // as "no reply"; only the elapsed time tells them apart.
    if (std::chrono::steady_clock::now() - started >= kAppleEventTimeout) {
      return failed(ErrorInfo(kEventTimedOut, app + " got an error: AppleEvent timed out.", &app));
    }
    return failed(
        ErrorInfo(kConnectionInvalid, app + " got an error: Connection is invalid.", &app));
  }
  return failed(
      ErrorInfo(kEventFailed, app + " got an error: " + (text.empty() ? "failed" : text), &app));
}

}  // namespace vrk
