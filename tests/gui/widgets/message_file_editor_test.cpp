#include <gtest/gtest.h>

#include <filesystem>

#include "gui/qt/RMessageFileEditor.h"
#include "temp_dir.h"
#include "util/RStringTable.h"

using namespace vantor;
using vantor::test::TempDir;

namespace {

struct EncodingCase {
  const char* name;
  std::string bytes;
  const char* shown;   // the text in the editor
  std::string edited;  // bytes after "!" is appended in the editor
};

}  // namespace

// Each encoding is recognised, shown as text and written back as it was;
// an appended line follows the file's encoding and line ends.
TEST(MessageFileText, EncodingKept) {
  const EncodingCase cases[] = {
      {"UTF-8", "Hello %name\n\xE4\xBD\xA0\xE5\xA5\xBD\n", "Hello %name\n\u4F60\u597D\n",
       "Hello %name\n\xE4\xBD\xA0\xE5\xA5\xBD\n!"},
      {"UTF-8 with BOM", "\xEF\xBB\xBFHi\n", "Hi\n", "\xEF\xBB\xBFHi\n!"},
      {"UTF-8 CRLF", "a\r\nb\r\n", "a\nb\n", "a\r\nb\r\n!"},
      {"Latin-1 CRLF", "Gr\xFC\xDF Gott\r\n", "Gr\u00FC\u00DF Gott\n", "Gr\xFC\xDF Gott\r\n!"},
      {"UTF-16LE", std::string("\xFF\xFEH\0i\0\n\0", 8), "Hi\n",
       std::string("\xFF\xFEH\0i\0\n\0!\0", 10)},
      {"UTF-16BE", std::string("\xFE\xFF\0H\0i", 6), "Hi", std::string("\xFE\xFF\0H\0i\0!", 8)},
  };
  for (const EncodingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RTextEncodingStr e = DetectTextEncoding(c.bytes);
    EXPECT_EQ(EncodingName(e).toStdString(), c.name);
    const QString text = DecodeText(c.bytes, e);
    EXPECT_EQ(text, QString::fromUtf8(c.shown));
    EXPECT_EQ(EncodeText(text, e), c.bytes);
    EXPECT_EQ(EncodeText(text + "!", e), c.edited);
  }
}

// The editor finds the file through [DRIVES], saves atomically in the
// file's encoding, refuses a character that encoding cannot hold (the file
// untouched), creates a missing file, and names the reason when a name
// leads to no single file.
TEST(MessageFileEditor, EditsInPlace) {
  SetLanguage(RLanguage::English);
  TempDir dir;
  std::filesystem::create_directory(dir.File("msg"));
  dir.Write("msg/welcome.txt", "Willkommen, %name!\r\nGr\xFC\xDF\r\n");
  dir.Write("VANTOR.INI", "[DRIVES]\nC=" + dir.Path() + "\n");
  const RIniFile ini(dir.File("VANTOR.INI"));

  RMessageFileEditor d(ini, "C:\\msg\\welcome.txt");
  d.SetShowErrors(false);
  ASSERT_TRUE(d.Loaded()) << d.Error();
  EXPECT_EQ(d.Path(), dir.File("msg/welcome.txt"));
  EXPECT_EQ(d.windowTitle().toStdString(),
            "Message file " + dir.File("msg/welcome.txt") + " (Latin-1 CRLF)");
  EXPECT_EQ(d.text->toPlainText(), QString::fromUtf8("Willkommen, %name!\nGr\u00FC\u00DF\n"));
  d.text->setPlainText(QString::fromUtf8("Gr\u00FC\u00DF \u20AC\n"));
  EXPECT_FALSE(d.Save());
  EXPECT_EQ(d.Error(), "The text cannot be written in the file's encoding (Latin-1 CRLF).");
  EXPECT_EQ(dir.Read("msg/welcome.txt"), "Willkommen, %name!\r\nGr\xFC\xDF\r\n");
  d.text->setPlainText(QString::fromUtf8("Hallo %name\nGr\u00FC\u00DF\n"));
  ASSERT_TRUE(d.Save()) << d.Error();
  EXPECT_EQ(dir.Read("msg/welcome.txt"), "Hallo %name\r\nGr\xFC\xDF\r\n");

  RMessageFileEditor fresh(ini, dir.File("msg/bye.txt"));
  ASSERT_TRUE(fresh.Loaded());
  EXPECT_EQ(fresh.windowTitle().toStdString(),
            "Message file " + dir.File("msg/bye.txt") + " ((a new file))");
  fresh.text->setPlainText(QString::fromUtf8("Bye \u4F60\n"));
  ASSERT_TRUE(fresh.Save());
  EXPECT_EQ(dir.Read("msg/bye.txt"), "Bye \xE4\xBD\xA0\n");

  for (const char* name : {".message", "D:\\msg\\x.txt", "C:\\msg\\"}) {
    SCOPED_TRACE(name);
    RMessageFileEditor bad(ini, name);
    EXPECT_FALSE(bad.Loaded());
    EXPECT_EQ(bad.Error(), std::string("\"") + name +
                               "\" names no one file: write it with its drive "
                               "(C:\\msg\\welcome.txt, the drive in [DRIVES]) or as a POSIX path.");
  }
}
