#pragma once

// Uniform type identifiers: the declared types the system knows (images,
// documents, media, containers), their conformance, their file-name
// extensions and MIME types, and dynamic identifiers ("dyn." prefix) made up
// for tags that no declared type claims.

#include <optional>
#include <string>
#include <vector>

extern const char* const kUTTagClassFilenameExtension;  // "public.filename-extension"
extern const char* const kUTTagClassMIMEType;           // "public.mime-type"

extern const char* const kUTTypeItem;
extern const char* const kUTTypeContent;
extern const char* const kUTTypeData;
extern const char* const kUTTypeFolder;
extern const char* const kUTTypeImage;
extern const char* const kUTTypeJPEG;
extern const char* const kUTTypePNG;
extern const char* const kUTTypeGIF;
extern const char* const kUTTypeTIFF;
extern const char* const kUTTypeWebP;
extern const char* const kUTTypeHEIC;
extern const char* const kUTTypeHEICS;
extern const char* const kUTTypeHEIF;
extern const char* const kUTTypeBMP;
extern const char* const kUTTypePDF;
extern const char* const kUTTypeSVG;
extern const char* const kUTTypeRawImage;
extern const char* const kUTTypeMovie;
extern const char* const kUTTypeVideo;
extern const char* const kUTTypeAudio;
extern const char* const kUTTypeText;
extern const char* const kUTTypePlainText;

class UTType {
 public:
  // A declared type, or a dynamic one (which is always accepted).
  static std::optional<UTType> typeWithIdentifier(const std::string& identifier);
  // The preferred type for the tag; a dynamic type when no declared type that
  // conforms to `conformingTo` (when given) claims it.
  static UTType typeWithFilenameExtension(const std::string& extension,
                                          const std::string& conformingTo = kUTTypeData);
  static UTType typeWithMIMEType(const std::string& mimeType,
                                 const std::string& conformingTo = kUTTypeData);

  const std::string& identifier() const { return identifier_; }
  std::optional<std::string> preferredFilenameExtension() const;
  std::optional<std::string> preferredMIMEType() const;
  bool isDynamic() const;
  bool isDeclared() const;
  // Reflexive and transitive; dynamic types conform to the type they were
  // made under (and so to its parents).
  bool conformsToType(const UTType& other) const;
  bool isSubtypeOfType(const UTType& other) const;  // conforms and differs

  bool operator==(const UTType& o) const { return identifier_ == o.identifier_; }

 private:
  explicit UTType(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier_;
};

// The classic function interface over the same table.
std::string UTTypeCreatePreferredIdentifierForTag(const std::string& tagClass,
                                                  const std::string& tag,
                                                  const std::optional<std::string>& conformingTo);
std::vector<std::string> UTTypeCreateAllIdentifiersForTag(
    const std::string& tagClass, const std::string& tag,
    const std::optional<std::string>& conformingTo);
std::optional<std::string> UTTypeCopyPreferredTagWithClass(const std::string& identifier,
                                                           const std::string& tagClass);
std::vector<std::string> UTTypeCopyAllTagsWithClass(const std::string& identifier,
                                                    const std::string& tagClass);
bool UTTypeConformsTo(const std::string& identifier, const std::string& conformsTo);
bool UTTypeEqual(const std::string& a, const std::string& b);
bool UTTypeIsDynamic(const std::string& identifier);
bool UTTypeIsDeclared(const std::string& identifier);
