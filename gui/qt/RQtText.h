// Conversions between the string table, std::string and Qt's strings, shared
// by the windows and dialogs. Every text in the engine is UTF-8.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "util/RStringTable.h"

namespace vantor {

inline QString Q(uint32_t id) {
  return QString::fromUtf8(LoadStr(id));
}
inline QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
inline std::string S(const QString& s) {
  return s.toStdString();
}

}  // namespace vantor
