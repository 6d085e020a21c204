#include "DescriptorLayout.h"

#include <algorithm>

namespace lumo::emulator {

namespace {

constexpr std::uint8_t kTypeConfiguration = 2;
constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeEndpoint = 5;

ConfigurationLayout ReadLayout(const std::vector<std::uint8_t>& set) {
  ConfigurationLayout layout;
  InterfaceSettingLayout* current = nullptr;
  std::size_t at = 0;
  while (at + 2 <= set.size()) {
    const std::size_t length = set[at];
    const std::uint8_t type = set[at + 1];
    if (length < 2 || at + length > set.size()) break;
    const std::uint8_t* d = set.data() + at;
    if (type == kTypeConfiguration && length >= 6) {
      layout.value = d[5];
    } else if (type == kTypeInterface && length >= 4) {
      layout.settings.push_back(InterfaceSettingLayout{d[2], d[3], {}});
      current = &layout.settings.back();
    } else if (type == kTypeEndpoint && length >= 6 && current) {
      current->endpoints.push_back(
          EndpointLayout{d[2], d[3], static_cast<std::uint16_t>(d[4] | (d[5] << 8))});
    }
    at += length;
  }
  return layout;
}

}  // namespace

const InterfaceSettingLayout* ConfigurationLayout::Setting(std::uint8_t interfaceNumber,
                                                           std::uint8_t alternate) const {
  for (const auto& setting : settings)
    if (setting.number == interfaceNumber && setting.alternate == alternate) return &setting;
  return nullptr;
}

std::vector<std::uint8_t> ConfigurationLayout::InterfaceNumbers() const {
  std::vector<std::uint8_t> numbers;
  for (const auto& setting : settings)
    if (std::find(numbers.begin(), numbers.end(), setting.number) == numbers.end())
      numbers.push_back(setting.number);
  return numbers;
}

std::vector<ConfigurationLayout> ReadLayouts(const DescriptorSet& descriptors) {
  std::vector<ConfigurationLayout> layouts;
  for (const auto& entry : descriptors.configurations) layouts.push_back(ReadLayout(entry.second));
  return layouts;
}

}  // namespace lumo::emulator
