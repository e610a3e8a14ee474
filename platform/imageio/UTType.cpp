#include "UTType.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_map>

const char* const kUTTagClassFilenameExtension = "public.filename-extension";
const char* const kUTTagClassMIMEType = "public.mime-type";

const char* const kUTTypeItem = "public.item";
const char* const kUTTypeContent = "public.content";
const char* const kUTTypeData = "public.data";
const char* const kUTTypeFolder = "public.folder";
const char* const kUTTypeImage = "public.image";
const char* const kUTTypeJPEG = "public.jpeg";
const char* const kUTTypePNG = "public.png";
const char* const kUTTypeGIF = "com.compuserve.gif";
const char* const kUTTypeTIFF = "public.tiff";
const char* const kUTTypeWebP = "org.webmproject.webp";
const char* const kUTTypeHEIC = "public.heic";
const char* const kUTTypeHEICS = "public.heics";
const char* const kUTTypeHEIF = "public.heif";
const char* const kUTTypeBMP = "com.microsoft.bmp";
const char* const kUTTypePDF = "com.adobe.pdf";
const char* const kUTTypeSVG = "public.svg-image";
const char* const kUTTypeRawImage = "public.camera-raw-image";
const char* const kUTTypeMovie = "public.movie";
const char* const kUTTypeVideo = "public.video";
const char* const kUTTypeAudio = "public.audio";
const char* const kUTTypeText = "public.text";
const char* const kUTTypePlainText = "public.plain-text";

namespace {

struct Declaration {
  const char* identifier;
  std::vector<const char*> parents;
  std::vector<const char*> extensions;  // preferred first
  std::vector<const char*> mimeTypes;   // preferred first
};

const std::vector<Declaration>& Declarations() {
  static const std::vector<Declaration> table = {
      {"public.item", {}, {}, {}},
      {"public.content", {}, {}, {}},
      {"public.data", {"public.item"}, {}, {"application/octet-stream"}},
      {"public.directory", {"public.item"}, {}, {}},
      {"public.folder", {"public.directory"}, {}, {}},
      {"public.composite-content", {"public.content"}, {}, {}},
      {"public.archive", {"public.data"}, {}, {}},
      {"public.image", {"public.data", "public.content"}, {}, {}},
      {"public.jpeg", {"public.image"}, {"jpeg", "jpg", "jpe"}, {"image/jpeg", "image/jpg"}},
      {"public.png", {"public.image"}, {"png"}, {"image/png"}},
      {"com.compuserve.gif", {"public.image"}, {"gif"}, {"image/gif"}},
      {"public.tiff", {"public.image"}, {"tiff", "tif"}, {"image/tiff"}},
      {"org.webmproject.webp", {"public.image"}, {"webp"}, {"image/webp"}},
      {"public.heif-standard", {"public.image"}, {}, {}},
      {"public.heic", {"public.heif-standard"}, {"heic"}, {"image/heic"}},
      {"public.heics", {"public.heic"}, {"heics"}, {"image/heic-sequence"}},
      {"public.heif", {"public.heif-standard"}, {"heif", "hif"}, {"image/heif"}},
      {"public.avif", {"public.image"}, {"avif"}, {"image/avif"}},
      {"com.microsoft.bmp", {"public.image"}, {"bmp", "dib"}, {"image/bmp", "image/x-bmp"}},
      {"com.microsoft.ico", {"public.image"}, {"ico"}, {"image/vnd.microsoft.icon"}},
      {"public.svg-image", {"public.image"}, {"svg", "svgz"}, {"image/svg+xml"}},
      {"com.adobe.pdf", {"public.data", "public.composite-content"}, {"pdf"}, {"application/pdf"}},
      {"public.camera-raw-image", {"public.image"}, {}, {}},
      {"com.adobe.raw-image", {"public.camera-raw-image"}, {"dng"}, {"image/x-adobe-dng"}},
      {"com.canon.cr2-raw-image", {"public.camera-raw-image"}, {"cr2"}, {"image/x-canon-cr2"}},
      {"com.canon.cr3-raw-image", {"public.camera-raw-image"}, {"cr3"}, {"image/x-canon-cr3"}},
      {"com.nikon.raw-image", {"public.camera-raw-image"}, {"nef"}, {"image/x-nikon-nef"}},
      {"com.sony.arw-raw-image", {"public.camera-raw-image"}, {"arw"}, {"image/x-sony-arw"}},
      {"com.fuji.raw-image", {"public.camera-raw-image"}, {"raf"}, {"image/x-fuji-raf"}},
      {"com.olympus.raw-image", {"public.camera-raw-image"}, {"orf"}, {"image/x-olympus-orf"}},
      {"com.panasonic.rw2-raw-image",
       {"public.camera-raw-image"},
       {"rw2"},
       {"image/x-panasonic-rw2"}},
      {"public.audiovisual-content", {"public.data", "public.content"}, {}, {}},
      {"public.movie", {"public.audiovisual-content"}, {}, {}},
      {"public.video", {"public.movie"}, {}, {}},
      {"public.audio", {"public.audiovisual-content"}, {}, {}},
      {"com.apple.quicktime-movie", {"public.movie"}, {"mov", "qt"}, {"video/quicktime"}},
      {"public.mpeg-4", {"public.movie"}, {"mp4", "mpg4"}, {"video/mp4"}},
      {"com.apple.m4v-video", {"public.movie"}, {"m4v"}, {"video/x-m4v"}},
      {"public.avi", {"public.movie"}, {"avi"}, {"video/avi", "video/x-msvideo"}},
      {"public.mp3", {"public.audio"}, {"mp3"}, {"audio/mpeg", "audio/mp3"}},
      {"public.mpeg-4-audio", {"public.audio"}, {"m4a"}, {"audio/mp4", "audio/x-m4a"}},
      {"com.microsoft.waveform-audio",
       {"public.audio"},
       {"wav", "wave"},
       {"audio/wav", "audio/x-wav"}},
      {"public.aiff-audio", {"public.audio"}, {"aiff", "aif"}, {"audio/aiff"}},
      {"public.text", {"public.data", "public.content"}, {}, {}},
      {"public.plain-text", {"public.text"}, {"txt", "text"}, {"text/plain"}},
      {"public.html", {"public.text"}, {"html", "htm"}, {"text/html"}},
      {"public.xml", {"public.text"}, {"xml"}, {"application/xml", "text/xml"}},
      {"public.json", {"public.text"}, {"json"}, {"application/json"}},
      {"public.comma-separated-values-text", {"public.text"}, {"csv"}, {"text/csv"}},
      {"public.rtf", {"public.text"}, {"rtf"}, {"text/rtf"}},
      {"public.zip-archive", {"public.archive"}, {"zip"}, {"application/zip"}},
      {"org.gnu.gnu-zip-archive", {"public.archive"}, {"gz", "gzip"}, {"application/gzip"}},
      {"com.microsoft.word.doc",
       {"public.data", "public.composite-content"},
       {"doc"},
       {"application/msword"}},
      {"org.openxmlformats.wordprocessingml.document",
       {"public.data", "public.composite-content"},
       {"docx"},
       {"application/vnd.openxmlformats-officedocument.wordprocessingml.document"}},
      {"com.microsoft.excel.xls",
       {"public.data", "public.composite-content"},
       {"xls"},
       {"application/vnd.ms-excel"}},
      {"org.openxmlformats.spreadsheetml.sheet",
       {"public.data", "public.composite-content"},
       {"xlsx"},
       {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"}},
      {"com.microsoft.powerpoint.ppt",
       {"public.data", "public.composite-content"},
       {"ppt"},
       {"application/vnd.ms-powerpoint"}},
      {"org.openxmlformats.presentationml.presentation",
       {"public.data", "public.composite-content"},
       {"pptx"},
       {"application/vnd.openxmlformats-officedocument.presentationml.presentation"}},
      {"org.idpf.epub-container", {"public.zip-archive"}, {"epub"}, {"application/epub+zip"}},
  };
  return table;
}

const Declaration* Find(const std::string& identifier) {
  static const auto index = [] {
    std::unordered_map<std::string, const Declaration*> m;
    for (const auto& d : Declarations()) m.emplace(d.identifier, &d);
    return m;
  }();
  auto it = index.find(identifier);
  return it == index.end() ? nullptr : it->second;
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Dynamic identifiers carry what they were made from, so that conformance and
// the preferred tag can be answered for them later: "dyn.a" followed by the
// base-32 text of "<conformsTo>\n<tag class>\n<tag>".
constexpr char kDynAlphabet[] = "abcdefghkmnpqrstuvwxyz0123456789";
constexpr const char* kDynPrefix = "dyn.a";

std::string EncodeDynamic(const std::string& conformsTo, const std::string& tagClass,
                          const std::string& tag) {
  std::string payload = conformsTo + "\n" + tagClass + "\n" + tag;
  std::string out = kDynPrefix;
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char c : payload) {
    buffer = (buffer << 8) | c;
    bits += 8;
    while (bits >= 5) {
      out += kDynAlphabet[(buffer >> (bits - 5)) & 31];
      bits -= 5;
    }
  }
  if (bits > 0) out += kDynAlphabet[(buffer << (5 - bits)) & 31];
  return out;
}

struct DynamicParts {
  std::string conformsTo, tagClass, tag;
};

std::optional<DynamicParts> DecodeDynamic(const std::string& identifier) {
  if (identifier.rfind(kDynPrefix, 0) != 0) return std::nullopt;
  std::string payload;
  uint32_t buffer = 0;
  int bits = 0;
  for (size_t i = 5; i < identifier.size(); ++i) {
    const char* p = std::strchr(kDynAlphabet, identifier[i]);
    if (!p || !*p) return std::nullopt;
    buffer = (buffer << 5) | static_cast<uint32_t>(p - kDynAlphabet);
    bits += 5;
    if (bits >= 8) {
      payload += static_cast<char>((buffer >> (bits - 8)) & 0xFF);
      bits -= 8;
    }
  }
  size_t a = payload.find('\n');
  size_t b = a == std::string::npos ? a : payload.find('\n', a + 1);
  if (b == std::string::npos) return std::nullopt;
  return DynamicParts{payload.substr(0, a), payload.substr(a + 1, b - a - 1),
                      payload.substr(b + 1)};
}

bool DeclaredConformsTo(const std::string& identifier, const std::string& target, int depth = 0) {
  if (identifier == target) return true;
  if (depth > 16) return false;
  const Declaration* d = Find(identifier);
  if (!d) return false;
  for (const char* parent : d->parents) {
    if (DeclaredConformsTo(parent, target, depth + 1)) return true;
  }
  return false;
}

const std::vector<const char*>* TagsOf(const Declaration& d, const std::string& tagClass) {
  if (tagClass == kUTTagClassFilenameExtension) return &d.extensions;
  if (tagClass == kUTTagClassMIMEType) return &d.mimeTypes;
  return nullptr;
}

using Claimants = std::unordered_map<std::string, std::vector<const Declaration*>>;

// The declarations claiming each tag of the class, in declaration order:
// coders ask for a type by extension on every decode.
const Claimants* ClaimantsOf(const std::string& tagClass) {
  auto build = [](const std::string& tagClass) {
    Claimants claimants;
    for (const auto& d : Declarations()) {
      for (const char* tag : *TagsOf(d, tagClass)) {
        auto& list = claimants[tag];
        if (list.empty() || list.back() != &d) list.push_back(&d);
      }
    }
    return claimants;
  };
  static const Claimants extensions = build(kUTTagClassFilenameExtension);
  static const Claimants mimeTypes = build(kUTTagClassMIMEType);
  if (tagClass == kUTTagClassFilenameExtension) return &extensions;
  if (tagClass == kUTTagClassMIMEType) return &mimeTypes;
  return nullptr;
}

}  // namespace

bool UTTypeIsDynamic(const std::string& identifier) { return identifier.rfind("dyn.", 0) == 0; }

bool UTTypeIsDeclared(const std::string& identifier) { return Find(identifier) != nullptr; }

bool UTTypeEqual(const std::string& a, const std::string& b) { return a == b; }

bool UTTypeConformsTo(const std::string& identifier, const std::string& conformsTo) {
  if (identifier == conformsTo) return true;
  if (auto parts = DecodeDynamic(identifier)) {
    return !parts->conformsTo.empty() && UTTypeConformsTo(parts->conformsTo, conformsTo);
  }
  return DeclaredConformsTo(identifier, conformsTo);
}

std::vector<std::string> UTTypeCreateAllIdentifiersForTag(
    const std::string& tagClass, const std::string& tag,
    const std::optional<std::string>& conformingTo) {
  std::vector<std::string> out;
  const Claimants* claimants = ClaimantsOf(tagClass);
  if (!claimants) return out;
  // Extensions match without regard to case; MIME types are case-insensitive too.
  auto it = claimants->find(Lower(tag));
  if (it == claimants->end()) return out;
  for (const Declaration* d : it->second) {
    if (!conformingTo || UTTypeConformsTo(d->identifier, *conformingTo)) out.emplace_back(d->identifier);
  }
  return out;
}

std::string UTTypeCreatePreferredIdentifierForTag(const std::string& tagClass,
                                                  const std::string& tag,
                                                  const std::optional<std::string>& conformingTo) {
  auto all = UTTypeCreateAllIdentifiersForTag(tagClass, tag, conformingTo);
  if (!all.empty()) return all.front();
  std::string base = conformingTo ? *conformingTo
                     : (tagClass == kUTTagClassFilenameExtension || tagClass == kUTTagClassMIMEType)
                         ? std::string(kUTTypeData)
                         : std::string(kUTTypeItem);
  return EncodeDynamic(base, tagClass, tag);
}

std::vector<std::string> UTTypeCopyAllTagsWithClass(const std::string& identifier,
                                                    const std::string& tagClass) {
  std::vector<std::string> out;
  if (auto parts = DecodeDynamic(identifier)) {
    if (parts->tagClass == tagClass) out.push_back(parts->tag);
    return out;
  }
  const Declaration* d = Find(identifier);
  const auto* tags = d ? TagsOf(*d, tagClass) : nullptr;
  if (tags) out.assign(tags->begin(), tags->end());
  return out;
}

std::optional<std::string> UTTypeCopyPreferredTagWithClass(const std::string& identifier,
                                                           const std::string& tagClass) {
  auto all = UTTypeCopyAllTagsWithClass(identifier, tagClass);
  if (all.empty()) return std::nullopt;
  return all.front();
}

std::optional<UTType> UTType::typeWithIdentifier(const std::string& identifier) {
  if (Find(identifier) || DecodeDynamic(identifier)) return UTType(identifier);
  return std::nullopt;
}

UTType UTType::typeWithFilenameExtension(const std::string& extension,
                                         const std::string& conformingTo) {
  return UTType(
      UTTypeCreatePreferredIdentifierForTag(kUTTagClassFilenameExtension, extension, conformingTo));
}

UTType UTType::typeWithMIMEType(const std::string& mimeType, const std::string& conformingTo) {
  return UTType(UTTypeCreatePreferredIdentifierForTag(kUTTagClassMIMEType, mimeType, conformingTo));
}

std::optional<std::string> UTType::preferredFilenameExtension() const {
  return UTTypeCopyPreferredTagWithClass(identifier_, kUTTagClassFilenameExtension);
}

std::optional<std::string> UTType::preferredMIMEType() const {
  return UTTypeCopyPreferredTagWithClass(identifier_, kUTTagClassMIMEType);
}

bool UTType::isDynamic() const { return UTTypeIsDynamic(identifier_); }
bool UTType::isDeclared() const { return UTTypeIsDeclared(identifier_); }

bool UTType::conformsToType(const UTType& other) const {
  return UTTypeConformsTo(identifier_, other.identifier_);
}

bool UTType::isSubtypeOfType(const UTType& other) const {
  return identifier_ != other.identifier_ && conformsToType(other);
}
