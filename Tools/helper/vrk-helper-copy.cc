// vrk-helper-copy SOURCE DEST: asks the privileged helper to copy one file, as the sync client
// does, waits for the answer and prints it. Exit status 0 when the helper answered.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/XPC/xpc.h"

namespace {

// Replies arrive on the connection's thread; this hands them to main.
struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<std::string> reply;
  bool done = false;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace vrk;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SOURCE DEST\n", argv[0]);
    return 2;
  }
  auto connection = xpc_connection_create_mach_service("com.mirelta.sync.VRKLaunchDaemon", nullptr,
                                                       XPC_CONNECTION_MACH_SERVICE_PRIVILEGED);
  xpc_connection_set_event_handler(connection, [](xpc_object_t) {});
  xpc_connection_resume(connection);
  auto message = xpc_dictionary_create(nullptr, nullptr, 0);
  xpc_dictionary_set_string(message, "sourcePath", argv[1]);
  xpc_dictionary_set_string(message, "destPath", argv[2]);
  auto waiter = std::make_shared<Waiter>();
  xpc_connection_send_message_with_reply(connection, message, nullptr, [waiter](xpc_object_t r) {
    std::lock_guard lock(waiter->mutex);
    if (xpc_get_type(r) == XPC_TYPE_DICTIONARY) {
      if (const char* text = xpc_dictionary_get_string(r, "reply")) waiter->reply = text;
    }
    waiter->done = true;
    waiter->cv.notify_all();
  });
  xpc_release(message);
  xpc_release(connection);
  std::unique_lock lock(waiter->mutex);
  waiter->cv.wait_for(lock, kReplyTimeout + std::chrono::seconds(30), [&] { return waiter->done; });
  if (!waiter->reply) {
    std::puts("(no reply)");
    return 1;
  }
  std::puts(waiter->reply->c_str());
  return 0;
}
