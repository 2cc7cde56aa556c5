// Feeds arbitrary bytes to the XPC frame decoder as the helper daemon reads them: a header,
// then the payload it announces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/XPC/XPCWire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  std::string error;
  if (bytes.size() >= vrk::xpcwire::kHeaderSize) {
    auto header = vrk::xpcwire::ParseHeader(bytes.first(vrk::xpcwire::kHeaderSize), &error);
    if (!header && error.empty()) std::abort();
  }
  error.clear();
  auto payload = bytes.size() > vrk::xpcwire::kHeaderSize ? bytes.subspan(vrk::xpcwire::kHeaderSize)
                                                          : std::span<const std::byte>();
  auto message = vrk::xpcwire::DecodePayload(payload, &error);
  if (!message && error.empty()) std::abort();  // a rejection always says why
  if (message) {
    // What decodes must encode again to the same bytes.
    auto again = vrk::xpcwire::EncodePayload(*message);
    if (!again || !std::equal(again->begin(), again->end(), payload.begin(), payload.end())) {
      // Keys come back sorted, so only a payload with sorted keys is expected to match; the
      // decoder already refuses duplicates. Check the value instead.
      auto twice = again ? vrk::xpcwire::DecodePayload(*again, nullptr) : std::nullopt;
      if (!twice || twice->description() != message->description()) std::abort();
    }
  }
  return 0;
}
