// The IP homes: the local addresses the server answers on, from the
// `[IP-HOMES]` section ("IPn" = address[,name[,passive address]]). The
// address is dotted IPv4 or IPv6 text; the passive address is IPv4 only,
// since only 227 announces one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

class RIniFile;

struct RIPHomeStr {
  uint32_t n = 0;           // key number of IPn
  uint32_t address = 0;     // IPv4: first octet in the high byte; IPv6: see RIPHomeId.h
  std::string addressText;  // dotted, or the RFC 5952 form of an IPv6 home
  bool v6 = false;
  std::string name;         // descriptive name, at most 59 characters, trimmed
  std::string passiveText;  // passive-mode address ("" = none)
};

// Four decimal numbers, each at most 255, separated by dots.
std::optional<uint32_t> ParseDottedAddress(std::string_view text);
// "a.b.c.d" of an address held first octet high.
std::string FormatDottedAddress(uint32_t address);

// One value of the section; nullopt when the home address does not read as
// an address of either family (the entry is dropped). A passive address that does not read
// as one is ignored.
std::optional<RIPHomeStr> ParseIPHome(uint32_t n, std::string_view value);

// The home id of a local address text: a dotted address is its own id, an
// IPv6 one the id of the IPv6 home on that address, else 0 (no home).
uint32_t HomeIdOfLocal(const std::vector<RIPHomeStr>& homes, std::string_view localText);

// All homes of the section in file order.
std::vector<RIPHomeStr> LoadIPHomes(const RIniFile& ini);

// Rewrites the section from `homes` (each under its own key number).
[[nodiscard]] bool SaveIPHomes(RIniFile& ini, const std::vector<RIPHomeStr>& homes);

}  // namespace vantor
