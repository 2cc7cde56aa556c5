// The arguments of a message sent to a distant object (NSConnection.h), written and read with
// the value codec (DBusCodec.h).
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Foundation/DBusCodec.h"
#include "Platform/Foundation/Object.h"

namespace vrk::dbus {

// The arguments of a message sent to a distant object (NSConnection.h): each argument is an `av`
// of zero elements for nil and one element otherwise, as the Post signal's object is, so that
// nil crosses too. At most kMaxMessageArguments of them.
inline constexpr std::size_t kMaxMessageArguments = 8;
// Appends them. Returns 0, or a negative errno value with the reason in `why`.
int AppendMessageArguments(sd_bus_message* m, std::span<const Object> arguments, std::string* why);
// Reads them back from a whole message, rewound first. nullopt, with the reason in `why`, for a
// signature other than `av` repeated up to kMaxMessageArguments times, an array of more than
// one element, or any value that the value codec would refuse (as DecodePostSignal does).
[[nodiscard]] std::optional<std::vector<Object>> ReadMessageArguments(sd_bus_message* m,
                                                                      std::string* why);
// What those arguments would weigh once read (as DistributedPayloadSize counts a payload),
// measured in place without building any value, so that a receiver can refuse a call over its cap
// before it is decoded. nullopt for a message that ReadMessageArguments would refuse for its shape
// or that cannot be read. The message is rewound.
[[nodiscard]] std::optional<std::size_t> WeighMessageArguments(sd_bus_message* m);

}  // namespace vrk::dbus
