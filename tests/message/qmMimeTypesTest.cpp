// The media type of an attachment from its file name: the system's
// mime.types as Python's mimetypes reads it, a given file, the built-in
// table when there is no file.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "message/qmMimeTypes.h"

namespace qm {
namespace {

TEST(ContentTypeForFileName, AgreesWithPythonOnTheSystemFile) {
  const std::vector<std::string> Names = {"report.pdf", "photo.JPG",  "scan.png",    "notes.txt",  "page.html",
                                          "table.csv",  "data.json",  "letter.docx", "sheet.xlsx", "archive.zip",
                                          "a/b.c/song.mp3", "invite.ics"};
  std::string Script = "import mimetypes, sys\nm = mimetypes.MimeTypes(filenames=(\"/etc/mime.types\",))\n"
                       "for n in sys.argv[1:]: print(m.guess_type(n.lower())[0])\n";
  std::string Command = "/usr/bin/python3 -c '" + Script + "'";
  for (const std::string& Name : Names) Command += " '" + Name + "'";
  FILE* Pipe = popen(Command.c_str(), "r");
  ASSERT_NE(Pipe, nullptr);
  char Line[256];
  for (const std::string& Name : Names) {
    ASSERT_NE(fgets(Line, sizeof Line, Pipe), nullptr) << Name;
    std::string Expected = Line;
    Expected.pop_back();
    EXPECT_EQ(ContentTypeForFileName(Name), Expected) << Name;
  }
  EXPECT_EQ(pclose(Pipe), 0);
}

TEST(ContentTypeForFileName, GivenFileFirstThenBuiltInThenOctetStream) {
  char Path[] = "/tmp/qm-mimetypes-XXXXXX";
  const int Fd = mkstemp(Path);
  ASSERT_GE(Fd, 0);
  std::ofstream(Path) << "# comment line pdf\n"
                         "application/x-ours  pdf  OURS # and a comment: txt\n"
                         "text/x-first qq\ntext/x-second qq\nnot-a-type zz\n";
  struct TCase {
    std::string Name, Given, NoFile;
  };
  const std::vector<TCase> Cases = {
      {"a.pdf", "application/x-ours", "application/pdf"},
      {"a.ours", "application/x-ours", "application/octet-stream"},
      {"a.txt", "text/plain", "text/plain"},
      {"a.qq", "text/x-first", "application/octet-stream"},
      {"a.zz", "application/octet-stream", "application/octet-stream"},
      {"Makefile", "application/octet-stream", "application/octet-stream"},
      {".pdf", "application/octet-stream", "application/octet-stream"},
      {"a.", "application/octet-stream", "application/octet-stream"},
      {"dir.pdf/name", "application/octet-stream", "application/octet-stream"},
      {"IMAGE.JPEG", "image/jpeg", "image/jpeg"},
  };
  for (const TCase& Case : Cases) {
    EXPECT_EQ(ContentTypeForFileName(Case.Name, Path), Case.Given) << Case.Name;
    EXPECT_EQ(ContentTypeForFileName(Case.Name, "/no/such/mime.types"), Case.NoFile) << Case.Name;
  }
  std::remove(Path);
}

}  // namespace
}  // namespace qm
