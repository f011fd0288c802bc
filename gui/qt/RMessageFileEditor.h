// Editing a message file (sign-on, sign-off, directory or login message) in
// place. The file is named as the configuration names it: drive form mapped
// through the file's [DRIVES] table, or a POSIX path. Its encoding is kept:
// a byte order mark, UTF-16, line ends in CR LF; a file that is not UTF-8 is
// taken byte for byte (Latin-1), so its bytes come back unchanged. Saving
// replaces the file atomically (temporary file and rename), so the server
// never reads half a message.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>
#include <optional>
#include <string>
#include <string_view>

#include "config/RIniFile.h"

namespace vantor {

struct RTextEncodingStr {
  enum Kind { Utf8, Utf8Bom, Utf16LE, Utf16BE, Latin1 } kind = Utf8;
  bool crlf = false;  // the first line end is CR LF: every line is written so
  bool operator==(const RTextEncodingStr&) const = default;
};
RTextEncodingStr DetectTextEncoding(std::string_view bytes);
QString DecodeText(std::string_view bytes, const RTextEncodingStr& e);
// Nothing when `text` has a character the encoding cannot hold.
std::optional<std::string> EncodeText(const QString& text, const RTextEncodingStr& e);
// "UTF-8", "UTF-8 with BOM", "UTF-16LE", "UTF-16BE", "Latin-1", and " CRLF".
QString EncodingName(const RTextEncodingStr& e);

// The POSIX path of a configured message file name; "" when it names no one
// file (a name relative to each directory, or a drive the table lacks).
std::string MessageFileToPosix(const RIniFile& ini, std::string_view name);

class RMessageFileEditor : public QDialog {
  Q_OBJECT
 public:
  RMessageFileEditor(const RIniFile& ini, const std::string& name, QWidget* parent = nullptr);

  // False (reason in Error()) when the file cannot be edited; the dialog
  // should then not be shown.
  bool Loaded() const { return loaded_; }
  bool Save();
  const std::string& Error() const { return error_; }
  const std::string& Path() const { return path_; }
  const RTextEncodingStr& Encoding() const { return encoding_; }
  void SetShowErrors(bool on) { showErrors_ = on; }

  QPlainTextEdit* text = nullptr;

  void accept() override;

 private:
  std::string path_;
  std::string error_;
  RTextEncodingStr encoding_;
  bool loaded_ = false;
  bool showErrors_ = true;
};

// Opens the editor for `name` modally, or says why it cannot.
void EditMessageFile(QWidget* parent, const std::string& iniPath, const std::string& name);

}  // namespace vantor
