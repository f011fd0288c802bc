#include "gui/qt/RMessageFileEditor.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QMessageBox>
#include <QStringConverter>
#include <QVBoxLayout>

#include "config/RDriveConfig.h"
#include "gui/RGuiStrings.h"
#include "gui/qt/RQtText.h"
#include "platform/RFile.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

// Far above what the server sends of a message file; a larger file is not
// a message and is not loaded into an editor.
constexpr size_t kMaxEditBytes = 1024 * 1024;

// Well-formed UTF-8: no stray continuation byte, no overlong form, no
// surrogate, nothing above U+10FFFF.
bool ValidUtf8(std::string_view b) {
  size_t i = 0;
  while (i < b.size()) {
    const auto c = static_cast<unsigned char>(b[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= b.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      const auto d = static_cast<unsigned char>(b[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

RTextEncodingStr DetectTextEncoding(std::string_view b) {
  RTextEncodingStr e;
  if (b.starts_with("\xEF\xBB\xBF")) {
    e.kind = RTextEncodingStr::Utf8Bom;
  } else if (b.starts_with("\xFF\xFE")) {
    e.kind = RTextEncodingStr::Utf16LE;
  } else if (b.starts_with("\xFE\xFF")) {
    e.kind = RTextEncodingStr::Utf16BE;
  } else if (!ValidUtf8(b)) {
    e.kind = RTextEncodingStr::Latin1;
  }
  const QString t = DecodeText(b, e);
  const qsizetype lf = t.indexOf('\n');
  e.crlf = lf > 0 && t[lf - 1] == '\r';
  return e;
}

QString DecodeText(std::string_view b, const RTextEncodingStr& e) {
  const QByteArray bytes(b.data(), static_cast<qsizetype>(b.size()));
  QString t;
  switch (e.kind) {
    case RTextEncodingStr::Utf8:
      t = QString::fromUtf8(bytes);
      break;
    case RTextEncodingStr::Utf8Bom:
      t = QString::fromUtf8(bytes.mid(3));
      break;
    case RTextEncodingStr::Utf16LE:
    case RTextEncodingStr::Utf16BE: {
      auto d = QStringDecoder(e.kind == RTextEncodingStr::Utf16LE ? QStringConverter::Utf16LE
                                                                  : QStringConverter::Utf16BE);
      t = d.decode(bytes.mid(2));
      break;
    }
    case RTextEncodingStr::Latin1:
      t = QString::fromLatin1(bytes);
      break;
  }
  if (e.crlf) t.replace("\r\n", "\n");
  return t;
}

std::optional<std::string> EncodeText(const QString& text, const RTextEncodingStr& e) {
  QString t = text;
  if (e.crlf) t.replace('\n', "\r\n");
  QByteArray out;
  switch (e.kind) {
    case RTextEncodingStr::Utf8:
      out = t.toUtf8();
      break;
    case RTextEncodingStr::Utf8Bom:
      out = "\xEF\xBB\xBF" + t.toUtf8();
      break;
    case RTextEncodingStr::Utf16LE:
    case RTextEncodingStr::Utf16BE: {
      const bool le = e.kind == RTextEncodingStr::Utf16LE;
      auto enc = QStringEncoder(le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
      out = QByteArray(le ? "\xFF\xFE" : "\xFE\xFF") + QByteArray(enc.encode(t));
      break;
    }
    case RTextEncodingStr::Latin1:
      for (const QChar c : t) {
        if (c.unicode() > 0xFF) return std::nullopt;
      }
      out = t.toLatin1();
      break;
  }
  return out.toStdString();
}

QString EncodingName(const RTextEncodingStr& e) {
  static constexpr const char* kNames[] = {"UTF-8", "UTF-8 with BOM", "UTF-16LE", "UTF-16BE",
                                           "Latin-1"};
  return QString(kNames[e.kind]) + (e.crlf ? " CRLF" : "");
}

std::string MessageFileToPosix(const RIniFile& ini, std::string_view name) {
  if (name.empty() || name.ends_with('/') || name.ends_with('\\')) return {};
  if (name.starts_with('/')) return std::string(name);
  if (name.size() < 3 || name[1] != ':') return {};
  return DriveMapFromIni(ini).DriveToPosix(name);
}

RMessageFileEditor::RMessageFileEditor(const RIniFile& ini, const std::string& name,
                                       QWidget* parent)
    : QDialog(parent) {
  setObjectName("messagefile");
  path_ = MessageFileToPosix(ini, name);
  if (path_.empty()) {
    error_ = FormatStr(S_GUI_ERR_NOFILE, name);
    return;
  }
  std::string bytes;
  const RBoundedRead rc = ReadFileBounded(path_, kMaxEditBytes, &bytes);
  if (rc != RBoundedRead::Ok && rc != RBoundedRead::Missing) {
    error_ = FormatStr(S_GUI_ERR_READFILE, path_);
    return;
  }
  encoding_ = DetectTextEncoding(bytes);
  const QString state =
      rc == RBoundedRead::Missing ? Q(S_GUI_MSG_NEWFILE) : EncodingName(encoding_);
  setWindowTitle(Q(FormatStr(S_GUI_MSG_EDITTITLE, path_, state.toStdString())));
  auto* top = new QVBoxLayout(this);
  text = new QPlainTextEdit(this);
  text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text->setLineWrapMode(QPlainTextEdit::NoWrap);
  text->setPlainText(DecodeText(bytes, encoding_));
  top->addWidget(text);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &RMessageFileEditor::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  top->addWidget(buttons);
  resize(640, 420);
  loaded_ = true;
}

bool RMessageFileEditor::Save() {
  error_.clear();
  const std::optional<std::string> bytes = EncodeText(text->toPlainText(), encoding_);
  if (!bytes) {
    error_ = FormatStr(S_GUI_ERR_ENCODING, EncodingName(encoding_).toStdString());
    return false;
  }
  // Readable by the account the server runs as, whoever edits it here.
  if (!ReplaceFileAtomic(path_, *bytes, nullptr, 0644)) {
    error_ = FormatStr(S_GUI_ERR_WRITEFILE, path_);
    return false;
  }
  return true;
}

void RMessageFileEditor::accept() {
  if (Save()) {
    QDialog::accept();
    return;
  }
  if (showErrors_) QMessageBox::warning(this, Q(S_GUI_ERR_TITLE), Q(error_));
}

void EditMessageFile(QWidget* parent, const std::string& iniPath, const std::string& name) {
  const RIniFile ini(iniPath);
  RMessageFileEditor editor(ini, name, parent);
  if (!editor.Loaded()) {
    QMessageBox::warning(parent, Q(S_GUI_ERR_TITLE), Q(editor.Error()));
    return;
  }
  editor.exec();
}

}  // namespace vantor
