#include <gtest/gtest.h>

#include "platform/imageio/UTType.h"
#include "support/TestEnvironment.h"

namespace ut_type_test {

using UTTypeTest = PlatformTest;

TEST_F(UTTypeTest, ExtensionsAndMimeTypesMapToDeclaredTypes) {
  EXPECT_EQ(
      UTTypeCreatePreferredIdentifierForTag(kUTTagClassFilenameExtension, "jpg", std::nullopt),
      "public.jpeg");
  EXPECT_EQ(UTType::typeWithFilenameExtension("JPEG").identifier(), "public.jpeg");
  EXPECT_EQ(UTType::typeWithFilenameExtension("gif").identifier(), "com.compuserve.gif");
  EXPECT_EQ(UTType::typeWithFilenameExtension("tif").identifier(), "public.tiff");
  EXPECT_EQ(UTType::typeWithFilenameExtension("webp").identifier(), "org.webmproject.webp");
  EXPECT_EQ(UTType::typeWithFilenameExtension("heic").identifier(), "public.heic");
  EXPECT_EQ(UTType::typeWithFilenameExtension("heif").identifier(), "public.heif");
  EXPECT_EQ(UTType::typeWithFilenameExtension("pdf").identifier(), "com.adobe.pdf");
  EXPECT_EQ(UTType::typeWithFilenameExtension("svg").identifier(), "public.svg-image");
  EXPECT_EQ(UTType::typeWithFilenameExtension("bmp").identifier(), "com.microsoft.bmp");
  EXPECT_EQ(UTType::typeWithFilenameExtension("cr2").identifier(), "com.canon.cr2-raw-image");
  EXPECT_EQ(UTType::typeWithMIMEType("image/png").identifier(), "public.png");
  EXPECT_EQ(UTType::typeWithFilenameExtension("jpg").preferredMIMEType(), "image/jpeg");
  EXPECT_EQ(UTType::typeWithMIMEType("image/jpeg").preferredFilenameExtension(), "jpeg");
  EXPECT_EQ(UTTypeCopyPreferredTagWithClass("public.png", kUTTagClassFilenameExtension), "png");
  EXPECT_FALSE(UTTypeCopyPreferredTagWithClass("public.image", kUTTagClassMIMEType).has_value());
}

TEST_F(UTTypeTest, ConformanceFollowsParentsTransitively) {
  EXPECT_TRUE(UTTypeConformsTo("public.jpeg", "public.image"));
  EXPECT_TRUE(UTTypeConformsTo("public.jpeg", "public.data"));
  EXPECT_TRUE(UTTypeConformsTo("public.jpeg", "public.item"));
  EXPECT_TRUE(UTTypeConformsTo("public.jpeg", "public.jpeg"));
  EXPECT_TRUE(UTTypeConformsTo("public.heics", "public.heic"));
  EXPECT_TRUE(UTTypeConformsTo("com.sony.arw-raw-image", "public.camera-raw-image"));
  EXPECT_FALSE(UTTypeConformsTo("public.jpeg", "public.camera-raw-image"));
  EXPECT_FALSE(UTTypeConformsTo("public.image", "public.jpeg"));
  EXPECT_TRUE(UTTypeConformsTo("public.mpeg-4", "public.movie"));
  EXPECT_FALSE(UTTypeConformsTo("public.mpeg-4", "public.image"));
  EXPECT_TRUE(UTTypeConformsTo("public.folder", "public.item"));
  EXPECT_FALSE(UTTypeConformsTo("no.such.type", "public.data"));
  auto jpeg = UTType::typeWithFilenameExtension("jpg");
  EXPECT_TRUE(jpeg.isSubtypeOfType(*UTType::typeWithIdentifier("public.image")));
  EXPECT_FALSE(jpeg.isSubtypeOfType(jpeg));
}

TEST_F(UTTypeTest, UnknownTagsGetDynamicIdentifiersThatRememberTheirTag) {
  const std::string dyn =
      UTTypeCreatePreferredIdentifierForTag(kUTTagClassFilenameExtension, "qxzfoo", std::nullopt);
  EXPECT_EQ(dyn.rfind("dyn.", 0), 0u);
  EXPECT_TRUE(UTTypeIsDynamic(dyn));
  EXPECT_FALSE(UTTypeIsDeclared(dyn));
  EXPECT_TRUE(UTTypeConformsTo(dyn, "public.data"));
  EXPECT_FALSE(UTTypeConformsTo(dyn, "public.image"));
  EXPECT_EQ(UTTypeCopyPreferredTagWithClass(dyn, kUTTagClassFilenameExtension), "qxzfoo");
  EXPECT_FALSE(UTTypeCopyPreferredTagWithClass(dyn, kUTTagClassMIMEType).has_value());
  // Same tag, same identifier; another tag, another one.
  EXPECT_EQ(dyn, UTType::typeWithFilenameExtension("qxzfoo").identifier());
  EXPECT_NE(dyn, UTType::typeWithFilenameExtension("qxzbar").identifier());
  // A declared type that does not conform to the requested parent is not used.
  const UTType underImage = UTType::typeWithFilenameExtension("txt", "public.image");
  EXPECT_TRUE(underImage.isDynamic());
  EXPECT_TRUE(underImage.conformsToType(*UTType::typeWithIdentifier("public.image")));
  EXPECT_EQ(UTType::typeWithFilenameExtension("png", "public.image").identifier(), "public.png");
  EXPECT_TRUE(UTType::typeWithIdentifier(dyn).has_value());
  EXPECT_FALSE(UTType::typeWithIdentifier("com.example.unknown").has_value());
}

}  // namespace ut_type_test
