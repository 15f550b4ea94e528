// Builds a message and renders it with an installed Quillmark; prints the
// library version and the rendered message.
#include <cstring>
#include <iostream>

#include "core/qmIdnTranslator.h"
#include "core/qmVersion.h"
#include "message/qmMailMessage.h"

int main() {
  if (std::strcmp(qm::LibraryVersion(), QM_VERSION_STRING) != 0) {
    std::cerr << "headers " << QM_VERSION_STRING << " but library " << qm::LibraryVersion() << "\n";
    return 1;
  }
  // International names map through libidn2: it must link too.
  if (qm::TqmIdnTranslator::EncodeDomain("M\xC3\x9C" "NCHEN.de") != "xn--mnchen-3ya.de") {
    std::cerr << "IDN mapping failed\n";
    return 1;
  }
  qm::TqmMailMessage message;
  message.BuildMessage("Hello from an installed Quillmark.", "");
  // BuildMessage resets the subject and addresses: set them after it.
  message.SetSubject("Installed");
  message.From().SetFullAddress("Sender <sender@example.test>");
  std::cout << "Quillmark " << qm::LibraryVersion() << "\n" << message.MessageSource().Text();
  return 0;
}
