#include "Platform/FinderSync/HostProtocol.h"

#include <cstring>

#include "Platform/Foundation/Object.h"

namespace vrk::findersync {

std::unique_ptr<BusAttachment> BusAttachment::attach(sd_bus* bus, sd_event* event, int* error) {
  std::unique_ptr<BusAttachment> attachment(new BusAttachment(bus));
  sd_event_source* source = nullptr;
  int r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
  if (r >= 0) r = sd_event_add_post(event, &source, &BusAttachment::OnPass, attachment.get());
  if (r >= 0) {
    attachment->post_.reset(source);
    r = sd_event_add_defer(event, &source, &BusAttachment::OnPass, attachment.get());
  }
  if (r >= 0) {
    attachment->again_.reset(source);
    r = sd_event_source_set_enabled(source, SD_EVENT_OFF);
  }
  if (r < 0) {
    *error = r;
    attachment.reset();
    sd_bus_detach_event(bus);
  }
  return attachment;
}

BusAttachment::~BusAttachment() {
  post_.reset();
  again_.reset();
  sd_bus_detach_event(bus_);
}

int BusAttachment::OnPass(sd_event_source*, void* userdata) {
  auto* self = static_cast<BusAttachment*>(userdata);
  // A bounded batch keeps other sources served while a peer floods the bus.
  constexpr int kBatch = 64;
  for (int i = 0; i < kBatch; ++i) {
    if (sd_bus_process(self->bus_, nullptr) <= 0) return 0;
  }
  sd_event_source_set_enabled(self->again_.get(), SD_EVENT_ONESHOT);
  return 0;
}

std::string WireString(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  if (IsValidUTF8(text)) return std::string(text);
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    // The longest prefix of at most four bytes that is one valid sequence is kept; otherwise one
    // byte is replaced and decoding resumes after it.
    std::size_t length = 1;
    bool valid = false;
    for (std::size_t n = 1; n <= 4 && i + n <= text.size(); ++n) {
      if (IsValidUTF8(text.substr(i, n))) {
        length = n;
        valid = true;
        break;
      }
    }
    if (valid) {
      out.append(text.substr(i, length));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += length;
  }
  return out;
}

std::optional<NSURL> DecodeFileURL(std::string_view text) {
  std::optional<NSURL> url = NSURL::URLWithString(text);
  if (!url || !url->isFileURL()) return std::nullopt;
  return url;
}

std::optional<std::vector<NSURL>> DecodeFileURLs(const std::vector<std::string>& texts) {
  std::vector<NSURL> urls;
  urls.reserve(texts.size());
  for (const std::string& text : texts) {
    std::optional<NSURL> url = DecodeFileURL(text);
    if (!url) return std::nullopt;
    urls.push_back(std::move(*url));
  }
  return urls;
}

int ReadStringArray(sd_bus_message* message, std::vector<std::string>* out) {
  out->clear();
  int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "s");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  const char* value = nullptr;
  while ((r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &value)) > 0) {
    out->emplace_back(value);
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

int ReadMenuItems(sd_bus_message* message, std::vector<WireMenuItem>* out) {
  out->clear();
  int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "(ssss)");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  const char* title = nullptr;
  const char* action = nullptr;
  const char* image = nullptr;
  const char* key = nullptr;
  while ((r = sd_bus_message_read(message, "(ssss)", &title, &action, &image, &key)) > 0) {
    out->push_back({title, action, image, key});
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

int AppendStringArray(sd_bus_message* message, const std::vector<std::string>& values) {
  int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "s");
  for (std::size_t i = 0; r >= 0 && i < values.size(); ++i) {
    r = sd_bus_message_append_basic(message, SD_BUS_TYPE_STRING, WireString(values[i]).c_str());
  }
  return r < 0 ? r : sd_bus_message_close_container(message);
}

int AppendMenuItems(sd_bus_message* message, const std::vector<WireMenuItem>& items) {
  int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "(ssss)");
  for (std::size_t i = 0; r >= 0 && i < items.size(); ++i) {
    const WireMenuItem& item = items[i];
    r = sd_bus_message_append(message, "(ssss)", WireString(item.title).c_str(),
                              WireString(item.action).c_str(), WireString(item.image).c_str(),
                              WireString(item.keyEquivalent).c_str());
  }
  return r < 0 ? r : sd_bus_message_close_container(message);
}

}  // namespace vrk::findersync
