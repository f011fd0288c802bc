#include "ftp/RIPHomes.h"

#include <cctype>

#include "config/RIPHomeId.h"
#include "config/RIniFile.h"
#include "ftp/RFTPLine.h"
#include "util/RFormat.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kMaxValue = 250;
constexpr size_t kMaxName = 59;
constexpr std::string_view kSection = "IP-HOMES";

}  // namespace

std::optional<uint32_t> ParseDottedAddress(std::string_view text) {
  text = TrimBlanks(text);
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    uint32_t value = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
      value = value * 10 + static_cast<uint32_t>(text[digits] - '0');
      if (value > 255) return std::nullopt;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    text.remove_prefix(digits);
    address = (address << 8) | value;
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

std::string FormatDottedAddress(uint32_t a) {
  return FormatIPv4(a);
}

std::optional<RIPHomeStr> ParseIPHome(uint32_t n, std::string_view value) {
  if (value.size() > kMaxValue) value = value.substr(0, kMaxValue);
  const size_t c1 = value.find(',');
  const std::string_view home = value.substr(0, c1);
  RIPHomeStr h;
  h.n = n;
  if (std::optional<uint32_t> address = ParseDottedAddress(home)) {
    h.address = *address;
    h.addressText = FormatDottedAddress(*address);
  } else if (std::optional<RV6HomeStr> v6 = ParseV6Home(n, home)) {
    h.address = v6->id;
    h.addressText = std::move(v6->text);
    h.v6 = true;
  } else {
    return std::nullopt;
  }
  if (c1 == std::string_view::npos) return h;
  std::string_view rest = value.substr(c1 + 1);
  const size_t c2 = rest.find(',');
  std::string_view name = TrimBlanks(rest.substr(0, c2));
  if (name.size() > kMaxName) name = TrimBlanks(name.substr(0, kMaxName));
  h.name = std::string(name);
  if (c2 != std::string_view::npos) {
    if (std::optional<uint32_t> passive = ParseDottedAddress(rest.substr(c2 + 1))) {
      h.passiveText = FormatDottedAddress(*passive);
    }
  }
  return h;
}

uint32_t HomeIdOfLocal(const std::vector<RIPHomeStr>& homes, std::string_view localText) {
  if (std::optional<uint32_t> dotted = ParseDottedAddress(localText)) return *dotted;
  const std::string canonical = CanonicalV6Text(localText);
  if (canonical.empty()) return 0;
  for (const RIPHomeStr& h : homes) {
    if (h.v6 && h.addressText == canonical) return h.address;
  }
  return 0;
}

std::vector<RIPHomeStr> LoadIPHomes(const RIniFile& ini) {
  std::vector<RIPHomeStr> homes;
  for (const auto& [key, value] : ini.SectionEntries(kSection)) {
    if (key.size() < 3 || !VerbIs(key, "IP")) continue;
    uint32_t n = 0;
    bool digits = true;
    for (size_t i = 2; i < key.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(key[i])) || n > 100000000) {
        digits = false;
        break;
      }
      n = n * 10 + static_cast<uint32_t>(key[i] - '0');
    }
    if (!digits) continue;
    if (std::optional<RIPHomeStr> h = ParseIPHome(n, value)) homes.push_back(std::move(*h));
  }
  return homes;
}

bool SaveIPHomes(RIniFile& ini, const std::vector<RIPHomeStr>& homes) {
  std::vector<RIniFile::Change> changes;
  changes.push_back({std::string(kSection), "", std::nullopt});
  for (const RIPHomeStr& h : homes) {
    std::string value = h.addressText;
    if (!h.name.empty() || !h.passiveText.empty()) value += "," + h.name;
    if (!h.passiveText.empty()) value += "," + h.passiveText;
    changes.push_back({std::string(kSection), RFormat("IP%u", h.n), value});
  }
  return ini.Apply(changes);
}

}  // namespace vantor
