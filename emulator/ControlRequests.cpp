#include "ControlRequests.h"

#include <algorithm>
#include <utility>

namespace lumo::emulator {

namespace {

// bmRequestType: direction, type and recipient bits.
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeVendor = 0x40;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kRecipientDevice = 0;
constexpr std::uint8_t kRecipientInterface = 1;

// Standard request codes.
constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;

// Descriptor types reachable with GET_DESCRIPTOR.
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorBos = 0x0F;

ControlOutcome Stall() { return ControlOutcome{true, {}}; }

ControlOutcome Answer(std::vector<std::uint8_t> data, std::uint16_t length) {
  if (data.size() > length) data.resize(length);
  return ControlOutcome{false, std::move(data)};
}

template <typename Key>
std::optional<std::vector<std::uint8_t>> Lookup(
    const std::map<Key, std::vector<std::uint8_t>>& table, Key key) {
  auto it = table.find(key);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

}  // namespace

ControlRequests::ControlRequests(DescriptorSet descriptors)
    : descriptors_(std::move(descriptors)), layouts_(ReadLayouts(descriptors_)) {
  ResetLocked();
}

ControlOutcome ControlRequests::Handle(const SetupPacket& setup,
                                       const std::vector<std::uint8_t>& outData) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (setup.requestType & kTypeMask) {
    case kTypeStandard:
      return StandardLocked(setup);
    case kTypeVendor: {
      if (!vendor_) return Stall();
      std::vector<std::uint8_t> data;
      if (!(setup.requestType & kDirectionIn)) data = outData;
      if (!vendor_->OnVendorRequest(setup, data)) return Stall();
      if (!(setup.requestType & kDirectionIn)) data.clear();
      return Answer(std::move(data), setup.length);
    }
    default:  // class requests: the camera's interface is vendor-specific
      return Stall();
  }
}

void ControlRequests::Answered(const SetupPacket& setup) {
  if ((setup.requestType & kTypeMask) != kTypeVendor) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (vendor_) vendor_->OnAnswered(setup);
}

ControlOutcome ControlRequests::StandardLocked(const SetupPacket& setup) {
  const bool in = (setup.requestType & kDirectionIn) != 0;
  const std::uint8_t recipient = setup.requestType & kRecipientMask;
  const ConfigurationLayout* layout = CurrentLayoutLocked();
  const auto interfaceNumber = static_cast<std::uint8_t>(setup.index & 0xFF);

  if (in && setup.request == kGetDescriptor && recipient == kRecipientDevice) {
    auto descriptor = DescriptorLocked(setup.value);
    if (!descriptor) return Stall();
    return Answer(std::move(*descriptor), setup.length);
  }
  if (in && setup.request == kGetStatus) {
    return Answer({0, 0}, setup.length);  // bus powered, no remote wake-up, no halt
  }
  if (in && setup.request == kGetConfiguration && recipient == kRecipientDevice) {
    return Answer({configuration_}, setup.length);
  }
  if (in && setup.request == kGetInterface && recipient == kRecipientInterface) {
    if (!layout || !layout->Setting(interfaceNumber, 0)) return Stall();
    return Answer({AlternateLocked(interfaceNumber)}, setup.length);
  }
  if (!in && setup.request == kSetConfiguration && recipient == kRecipientDevice) {
    const auto value = static_cast<std::uint8_t>(setup.value & 0xFF);
    const bool known = value == 0 || std::any_of(layouts_.begin(), layouts_.end(),
                                                 [&](const auto& l) { return l.value == value; });
    if (!known || setup.value > 0xFF) return Stall();
    configuration_ = value;
    alternates_.clear();
    return ControlOutcome{};
  }
  if (!in && setup.request == kSetInterface && recipient == kRecipientInterface) {
    if (!layout || setup.value > 0xFF ||
        !layout->Setting(interfaceNumber, static_cast<std::uint8_t>(setup.value)))
      return Stall();
    alternates_[interfaceNumber] = static_cast<std::uint8_t>(setup.value);
    return ControlOutcome{};
  }
  return Stall();
}

std::optional<std::vector<std::uint8_t>> ControlRequests::DescriptorLocked(
    std::uint16_t value) const {
  const auto type = static_cast<std::uint8_t>(value >> 8);
  const auto index = static_cast<std::uint8_t>(value & 0xFF);
  switch (type) {
    case kDescriptorDevice:
      if (index != 0 || descriptors_.device.empty()) return std::nullopt;
      return descriptors_.device;
    case kDescriptorConfiguration:
      return Lookup(descriptors_.configurations, index);
    case kDescriptorString:
      return Lookup(descriptors_.strings, index);
    case kDescriptorBos:
      if (index != 0 || descriptors_.bos.empty()) return std::nullopt;
      return descriptors_.bos;
    default:
      return std::nullopt;
  }
}

const ConfigurationLayout* ControlRequests::CurrentLayoutLocked() const {
  if (configuration_ == 0) return nullptr;
  for (const auto& layout : layouts_)
    if (layout.value == configuration_) return &layout;
  return nullptr;
}

void ControlRequests::ResetLocked() {
  // The driver configures the device when it loads it.
  configuration_ = layouts_.empty() ? 0 : layouts_.front().value;
  alternates_.clear();
}

void ControlRequests::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ResetLocked();
}

void ControlRequests::SetDescriptors(DescriptorSet descriptors) {
  std::lock_guard<std::mutex> lock(mutex_);
  descriptors_ = std::move(descriptors);
  layouts_ = ReadLayouts(descriptors_);
  ResetLocked();
}

DescriptorSet ControlRequests::Descriptors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return descriptors_;
}

void ControlRequests::SetVendorHandler(std::unique_ptr<VendorRequestHandler> handler) {
  std::unique_ptr<VendorRequestHandler> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(vendor_, std::move(handler));
  }
  // `old` is destroyed here, outside the lock.
}

std::uint8_t ControlRequests::Configuration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configuration_;
}

std::uint8_t ControlRequests::Alternate(std::uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return AlternateLocked(interfaceNumber);
}

std::uint8_t ControlRequests::AlternateLocked(std::uint8_t interfaceNumber) const {
  auto it = alternates_.find(interfaceNumber);
  return it == alternates_.end() ? 0 : it->second;
}

std::uint8_t ControlRequests::DriverAlternate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const ConfigurationLayout* layout = CurrentLayoutLocked();
  if (!layout || layout->settings.empty()) return 0;
  return AlternateLocked(layout->settings.front().number);
}

std::optional<EndpointLayout> ControlRequests::ActiveEndpoint(std::uint8_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const ConfigurationLayout* layout = CurrentLayoutLocked();
  if (!layout) return std::nullopt;
  // Every transfer request comes through here: the interfaces are visited
  // in the order of their first setting, as InterfaceNumbers lists them,
  // without building that list.
  const auto& settings = layout->settings;
  for (auto first = settings.begin(); first != settings.end(); ++first) {
    const std::uint8_t number = first->number;
    if (std::any_of(settings.begin(), first,
                    [number](const InterfaceSettingLayout& s) { return s.number == number; }))
      continue;
    const InterfaceSettingLayout* setting = layout->Setting(number, AlternateLocked(number));
    if (!setting) continue;
    for (const auto& endpoint : setting->endpoints)
      if (endpoint.address == address) return endpoint;
  }
  return std::nullopt;
}

}  // namespace lumo::emulator
