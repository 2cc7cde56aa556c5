// mach_error_string: Mach's own texts, so that log lines read as they would on macOS.
#include <array>
#include <cstdint>

#include "Platform/Mach/Mach.h"

namespace vrk {

namespace {

constexpr std::array<const char*, 27> kKernTexts = {
    "(os/kern) successful",
    "(os/kern) invalid address",
    "(os/kern) protection failure",
    "(os/kern) no space available",
    "(os/kern) invalid argument",
    "(os/kern) failure",
    "(os/kern) resource shortage",
    "(os/kern) not receiver",
    "(os/kern) no access",
    "(os/kern) memory failure",
    "(os/kern) memory error",
    "(os/kern) already in set",
    "(os/kern) not in set",
    "(os/kern) name exists",
    "(os/kern) aborted",
    "(os/kern) invalid name",
    "(os/kern) invalid task",
    "(os/kern) invalid right",
    "(os/kern) invalid value",
    "(os/kern) urefs overflow",
    "(os/kern) invalid capability",
    "(os/kern) right exists",
    "(os/kern) invalid host",
    "(os/kern) memory present",
    "(os/kern) memory data moved",
    "(os/kern) memory restart copy",
    "(os/kern) invalid processor set",
};

constexpr std::array<const char*, 18> kSendTexts = {
    "(ipc/send) no error",           "(ipc/send) send in progress",
    "(ipc/send) invalid data",       "(ipc/send) invalid destination port",
    "(ipc/send) timed out",          "(ipc/send) will notify",
    "(ipc/send) notify in progress", "(ipc/send) interrupted",
    "(ipc/send) msg too small",      "(ipc/send) invalid reply port",
    "(ipc/send) invalid port right", "(ipc/send) invalid notify port",
    "(ipc/send) invalid memory",     "(ipc/send) no msg buffer",
    "(ipc/send) send too large",     "(ipc/send) invalid msg-type",
    "(ipc/send) invalid msg-header", "(ipc/send) invalid msg-trailer",
};

constexpr std::array<const char*, 13> kReceiveTexts = {
    "(ipc/rcv) no error",     "(ipc/rcv) receive in progress", "(ipc/rcv) invalid name",
    "(ipc/rcv) timed out",    "(ipc/rcv) msg too large",       "(ipc/rcv) interrupted",
    "(ipc/rcv) port changed", "(ipc/rcv) invalid notify port", "(ipc/rcv) invalid data",
    "(ipc/rcv) port died",    "(ipc/rcv) port in set",         "(ipc/rcv) header error",
    "(ipc/rcv) body error",
};

template <std::size_t N>
const char* Lookup(const std::array<const char*, N>& texts, std::uint32_t code) {
  return code < N ? texts[code] : "unknown error code";
}

}  // namespace

const char* mach_error_string(mach_error_t error) {
  const auto value = static_cast<std::uint32_t>(error);
  const std::uint32_t system = value & 0xfc000000u;
  const std::uint32_t subsystem = value & 0x03ffc000u;
  const std::uint32_t code = value & 0x3fffu;
  if (system == 0 && subsystem == 0) {
    switch (error) {
      case BOOTSTRAP_NOT_PRIVILEGED:
        return "Permission denied";
      case BOOTSTRAP_NAME_IN_USE:
        return "Service name already exists";
      case BOOTSTRAP_UNKNOWN_SERVICE:
        return "Unknown service name";
      case BOOTSTRAP_SERVICE_ACTIVE:
        return "Service already active";
      case BOOTSTRAP_BAD_COUNT:
        return "Too many lookups were requested in one request";
      case BOOTSTRAP_NO_MEMORY:
        return "Out of memory";
      default:
        return Lookup(kKernTexts, code);
    }
  }
  if (system == 0x10000000u && subsystem == 0) return Lookup(kSendTexts, code);
  if (system == 0x10000000u && subsystem == 0x4000u) return Lookup(kReceiveTexts, code);
  return "unknown error code";
}

}  // namespace vrk
