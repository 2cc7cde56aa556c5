// vrk-helper-copy SOURCE DEST: asks the privileged helper to copy one file, as the sync client
// does, waits for the answer and prints it. Exit status 0 when the helper answered.
#include <cstdio>

#include "Platform/XPC/xpc.h"

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
  xpc_object_t reply = xpc_connection_send_message_with_reply_sync(connection, message);
  xpc_release(message);
  xpc_release(connection);
  const char* text = xpc_dictionary_get_string(reply, "reply");
  if (text == nullptr) {
    std::puts("(no reply)");
    return 1;
  }
  std::puts(text);
  return 0;
}
