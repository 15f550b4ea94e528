#include "message/qmMimeTypes.h"

#include <fstream>
#include <sstream>
#include <unordered_map>

#include "core/qmSysUtils.h"

namespace qm {

namespace {

using TTypeMap = std::unordered_map<std::string, std::string>;

constexpr const char* kSystemMimeTypes = "/etc/mime.types";
constexpr const char* kUnknownType = "application/octet-stream";

// Kept for systems without a mime.types file: what mail most often carries.
const TTypeMap& BuiltInTypes() {
  static const TTypeMap Types = {
      {"txt", "text/plain"},        {"text", "text/plain"},       {"log", "text/plain"},
      {"csv", "text/csv"},          {"htm", "text/html"},         {"html", "text/html"},
      {"css", "text/css"},          {"xml", "application/xml"},   {"json", "application/json"},
      {"ics", "text/calendar"},     {"vcf", "text/vcard"},        {"md", "text/markdown"},
      {"eml", "message/rfc822"},    {"pdf", "application/pdf"},   {"rtf", "application/rtf"},
      {"zip", "application/zip"},   {"gz", "application/gzip"},   {"tar", "application/x-tar"},
      {"7z", "application/x-7z-compressed"},
      {"doc", "application/msword"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xls", "application/vnd.ms-excel"},
      {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"ppt", "application/vnd.ms-powerpoint"},
      {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
      {"odt", "application/vnd.oasis.opendocument.text"},
      {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
      {"png", "image/png"},         {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},         {"bmp", "image/bmp"},         {"svg", "image/svg+xml"},
      {"webp", "image/webp"},       {"tif", "image/tiff"},        {"tiff", "image/tiff"},
      {"ico", "image/vnd.microsoft.icon"},
      {"mp3", "audio/mpeg"},        {"wav", "audio/x-wav"},       {"ogg", "audio/ogg"},
      {"mp4", "video/mp4"},         {"mpeg", "video/mpeg"},       {"webm", "video/webm"},
  };
  return Types;
}

// "type/subtype ext ext ..." per line, '#' to the end of a line a comment.
TTypeMap ReadMimeTypes(const std::string& APath) {
  TTypeMap Types;
  std::ifstream In(APath);
  for (std::string Line; std::getline(In, Line);) {
    const size_t Hash = Line.find('#');
    if (Hash != std::string::npos) Line.erase(Hash);
    std::istringstream Words(Line);
    std::string Type, Extension;
    if (!(Words >> Type) || Type.find('/') == std::string::npos) continue;
    // The first line that names an extension wins, as with other readers.
    while (Words >> Extension) Types.emplace(LowerCase(Extension), LowerCase(Type));
  }
  return Types;
}

std::string Extension(const std::string& AFileName) {
  const size_t Slash = AFileName.find_last_of('/');
  const std::string Base = Slash == std::string::npos ? AFileName : AFileName.substr(Slash + 1);
  const size_t Dot = Base.rfind('.');
  // ".profile" is a name, not an extension.
  if (Dot == std::string::npos || Dot == 0 || Dot + 1 == Base.size()) return {};
  return LowerCase(Base.substr(Dot + 1));
}

std::string Lookup(const std::string& AFileName, const TTypeMap& AFromFile) {
  const std::string Ext = Extension(AFileName);
  if (Ext.empty()) return kUnknownType;
  if (const auto Found = AFromFile.find(Ext); Found != AFromFile.end()) return Found->second;
  if (const auto Found = BuiltInTypes().find(Ext); Found != BuiltInTypes().end()) return Found->second;
  return kUnknownType;
}

}  // namespace

std::string ContentTypeForFileName(const std::string& AFileName) {
  static const TTypeMap System = ReadMimeTypes(kSystemMimeTypes);
  return Lookup(AFileName, System);
}

std::string ContentTypeForFileName(const std::string& AFileName, const std::string& AMimeTypesPath) {
  return Lookup(AFileName, ReadMimeTypes(AMimeTypesPath));
}

}  // namespace qm
