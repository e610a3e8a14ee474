// Requests and their answers: dispatch, the one-request rule, pickers that
// cannot be shown, saving, and the reply records.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "file_picker/FilePickerUtils.h"
#include "file_picker/internal/ImageUtils.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/uikit/UIDocumentPickerViewController.h"
#include "platform/uikit/UIWindow.h"
#include "FilePickerTestSupport.h"
#include "support/ScriptedLocations.h"

namespace {

using FilePickerUtilsTest = PlatformTest;
using ImageUtilsTest = PlatformTest;

bool IsErrorWithCode(const FlutterMethodOutcome& o, const std::string& code) {
  return o.kind == FlutterMethodOutcome::Kind::Error && o.code == code;
}

TEST_F(FilePickerTest, ClearUnknownAndUnsupportedAnswerAtOnceAndLeaveNothingPending) {
  const std::string tmp = NSTemporaryDirectory();
  scratch_.writeFile("../container/tmp/old.txt", "x");
  auto clear = peer_->call(kPickerChannel, "clear");
  ASSERT_TRUE(IsSuccess(clear));
  EXPECT_EQ(clear.result, Value(true));
  EXPECT_TRUE(NSFileManager::defaultManager()->contentsOfDirectoryAtPath(tmp)->empty());

  EXPECT_TRUE(IsNotImplemented(peer_->call(kPickerChannel, "nothing")));
  // "xcustomx" is not "custom": no identifiers.
  auto contains = peer_->call(kPickerChannel, "xcustomx",
                              Value::map({{"allowedExtensions", Value::list({Value("txt")})}}));
  EXPECT_TRUE(IsErrorWithCode(contains, "Unsupported file extension"));
  EXPECT_EQ(contains.message->substr(0, 40), "If you are providing extension filters m");
  for (const Value& extensions : {Value(), Value(ValueList{}), Value("txt"), Value(7)}) {
    auto o = peer_->call(kPickerChannel, "custom", Value::map({{"allowedExtensions", extensions}}));
    EXPECT_TRUE(IsErrorWithCode(o, "Unsupported file extension")) << extensions.description();
  }
  // Every request above was answered: a new one is not refused.
  auto call = start("any");
  showPicker();
  EXPECT_EQ(provider_->waiting(), 1u);
  provider_->answer(UISystemPickerAnswer::cancelled());
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
}

TEST_F(FilePickerTest, ASecondRequestIsRefusedAndTheFirstStillAnswered) {
  const std::string original = scratch_.writeFile("mine/report.txt", "precious");
  auto first = start("any", Value::map({{"withData", Value(true)}}));
  showPicker();
  auto second = peer_->call(kPickerChannel, "image");
  ASSERT_TRUE(IsErrorWithCode(second, "multiple_request"));
  EXPECT_EQ(second.message, "Cancelled by a second request");
  EXPECT_FALSE(first->has_value());

  ASSERT_TRUE(provider_->answer(UISystemPickerAnswer::picked({original})));
  auto o = finish(first);
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  ASSERT_EQ(o.result.size(), 1u);
  const Value& file = o.result.asList()[0];
  const std::string path = Field(file, "path")->asString();
  EXPECT_NE(path, original);
  EXPECT_EQ(ReadText(path), "precious");
  EXPECT_EQ(*Field(file, "name"), Value("report.txt"));
  EXPECT_EQ(Field(file, "size")->asInt64(), 8);
  EXPECT_EQ(*Field(file, "identifier"), Value(NSURL::fileURLWithPath(path)->absoluteString()));
  EXPECT_EQ(Field(file, "bytes")->asBytes(), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  EXPECT_EQ(ReadText(original), "precious") << "the user's file is never moved";
}

TEST_F(FilePickerTest, PickersThatCannotBeShownAnswerOnceAndFreeTheNextRequest) {
  provider_->setAvailable(false);
  for (const char* method : {"any", "dir", "image", "video", "media", "audio"}) {
    auto o = peer_->call(kPickerChannel, method);
    EXPECT_TRUE(IsErrorWithCode(o, "file_picker_error")) << method;
  }
  provider_->setAvailable(true);
  // The picker program failed after it was shown.
  auto call = start("any");
  showPicker();
  provider_->answer(UISystemPickerAnswer::failed("exited with status 3"));
  EXPECT_TRUE(IsErrorWithCode(finish(call), "file_picker_error"));
  EXPECT_EQ(window_->rootViewController()->presentedViewController(), nullptr);
  // No key window: nothing to present from.
  window_->setHidden(true);
  auto other = std::make_shared<UIWindow>(CGRectMake(0, 0, 10, 10));
  other->makeKeyAndVisible();
  EXPECT_TRUE(IsErrorWithCode(peer_->call(kPickerChannel, "any"), "file_picker_error"));
  window_->makeKeyAndVisible();
  // Nothing of that is still pending.
  call = start("dir");
  showPicker();
  provider_->answer(UISystemPickerAnswer::picked({scratch_.makeFolder("chosen")}));
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_EQ(o.result, Value(scratch_.path() + "/chosen"));
  ASSERT_FALSE(provider_->requests().empty());
  EXPECT_EQ(provider_->requests().back().mode, UISystemPickerMode::Open);
  EXPECT_EQ(provider_->requests().back().types, std::vector<std::string>{"public.folder"});
  EXPECT_FALSE(provider_->requests().back().multiple);
}

TEST_F(FilePickerTest, ASwipedAwayPickerAnswersNilOnceAndItsPickIsCancelled) {
  auto call = start("any");
  showPicker();
  auto picker = window_->rootViewController()->presentedViewController();
  ASSERT_NE(picker, nullptr);
  ASSERT_TRUE(picker->presentationController()->dismissByUser());
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
  EXPECT_EQ(provider_->cancelled(), 1);
  EXPECT_EQ(provider_->waiting(), 0u);
}

TEST_F(FilePickerTest, SaveWritesIntoAFolderOfItsOwnAndRefusesHostileNames) {
  const std::string documents = FilePickerPlugin::getDocumentDirectory();
  const std::string existing = documents + "/notes.txt";
  NSFileManager::defaultManager()->createFileAtPath(existing, Bytes{'o', 'l', 'd'});
  const std::string destination = scratch_.makeFolder("saves") + "/notes.txt";

  auto call = start("save", Value::map({{"fileName", Value("notes.txt")},
                                        {"initialDirectory", Value(scratch_.path())},
                                        {"bytes", Value::bytes(Bytes{'n', 'e', 'w'})}}));
  showPicker();
  ASSERT_EQ(provider_->requests().size(), 1u);
  const auto& request = provider_->requests()[0];
  EXPECT_EQ(request.mode, UISystemPickerMode::Export);
  EXPECT_EQ(request.startDirectory, scratch_.path());
  EXPECT_EQ(ReadText(request.exportFile), "new") << "written before the picker shows";
  EXPECT_EQ(ReadText(existing), "old") << "nothing that exists is removed";
  provider_->answer(UISystemPickerAnswer::picked({destination}));
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  EXPECT_EQ(o.result, Value(destination));
  EXPECT_EQ(ReadText(destination), "new");

  const std::string before = ReadText(existing);
  for (const Value& name :
       {Value(""), Value("."), Value(".."), Value("../escape.txt"), Value("a/b"),
        Value(std::string("a\0b", 3)), Value(std::string(4096, 'n')), Value("bad\xff\xfe.txt"),
        Value(5), Value()}) {
    auto refused = peer_->call(kPickerChannel, "save",
                               Value::map({{"fileName", name}, {"bytes", Value::bytes({1})}}));
    EXPECT_TRUE(IsErrorWithCode(refused, "Failed to write file")) << name.description();
  }
  EXPECT_EQ(ReadText(existing), before);
  EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(documents + "/../escape.txt"));
  EXPECT_EQ(provider_->requests().size(), 1u) << "no picker for a refused name";
}

TEST_F(FilePickerTest, ArgumentsOfTheWrongKindReadAsMissing) {
  const std::string file = scratch_.writeFile("f.txt", "abc");
  for (const Value& args :
       {Value(), Value("x"), Value(ValueList{Value(1)}),
        Value::map({{"allowMultipleSelection", Value("yes")}, {"withData", Value(1)},
                    {"compressionQuality", Value("high")}}),
        Value::map({{"compressionQuality", Value::integer(INT64_MIN)},
                    {"withData", Value(ValueMap{})}})}) {
    auto o = pick("any", args, UISystemPickerAnswer::picked({file}));
    ASSERT_TRUE(IsSuccess(o)) << args.description();
    ASSERT_EQ(o.result.size(), 1u);
    EXPECT_EQ(Field(o.result.asList()[0], "bytes"), nullptr) << args.description();
    EXPECT_FALSE(provider_->requests().back().multiple);
  }
}

TEST_F(FilePickerUtilsTest, TypesMediaCodesAndRecords) {
  EXPECT_EQ(FilePickerUtils::resolveType("any", Value()), std::vector<std::string>{"public.item"});
  EXPECT_EQ(FilePickerUtils::resolveType("media", Value()),
            (std::vector<std::string>{"public.image", "public.video"}));
  EXPECT_EQ(FilePickerUtils::resolveType("other", Value()), std::nullopt);
  EXPECT_EQ(FilePickerUtils::resolveType(
                "custom", Value::list({Value("jpg"), Value("zzzq"), Value(3), Value("pdf"),
                                       Value("a/b"), Value(".png")})),
            (std::vector<std::string>{"public.jpeg", "com.adobe.pdf", "public.png"}));
  EXPECT_EQ(FilePickerUtils::resolveType("custom", Value::list({Value("zzzq")})),
            std::vector<std::string>{});
  EXPECT_EQ(FilePickerUtils::resolveMediaType("video"), 0);
  EXPECT_EQ(FilePickerUtils::resolveMediaType("image"), 1);
  EXPECT_EQ(FilePickerUtils::resolveMediaType("anything"), 2);

  TempFolder temp;
  const std::string readable = temp.writeFile("r.bin", Bytes{1, 2, 3});
  const std::string unreadable = temp.writeFile("u.bin", Bytes{4});
  ::chmod(unreadable.c_str(), 0);
  const bool root = ::access(unreadable.c_str(), R_OK) == 0;
  auto list = FilePickerUtils::resolveFileInfo(
      std::vector<NSURLPtr>{NSURL::fileURLWithPath(temp.path() + "/missing.txt"),
                            NSURL::fileURLWithPath(readable), NSURL::fileURLWithPath(unreadable)},
      true);
  ASSERT_TRUE(list && list->size() == 3);
  const Value& missing = list->asList()[0];
  EXPECT_EQ(*Field(missing, "size"), Value::integer(0));
  EXPECT_EQ(*Field(missing, "name"), Value("missing.txt"));
  EXPECT_EQ(Field(missing, "bytes"), nullptr);
  EXPECT_EQ(Field(list->asList()[1], "bytes")->asBytes(), Bytes({1, 2, 3}));
  if (!root) {
    EXPECT_EQ(Field(list->asList()[2], "bytes"), nullptr);
  }
  EXPECT_EQ(*Field(list->asList()[2], "size"), Value::integer(1));
  for (const Value& entry : list->asList()) EXPECT_EQ(Field(entry, "isDirectory"), nullptr);
  auto noData = FilePickerUtils::resolveFileInfo(
      std::vector<NSURLPtr>{NSURL::fileURLWithPath(readable)}, false);
  EXPECT_EQ(Field(noData->asList()[0], "bytes"), nullptr);
  EXPECT_EQ(FilePickerUtils::resolveFileInfo(std::nullopt, true), std::nullopt);

  EXPECT_EQ(FilePickerUtils::cleanedName("My/Song: Live\n"), "My_Song: Live_");
  EXPECT_EQ(FilePickerUtils::cleanedName("..hidden"), "hidden");
  EXPECT_EQ(FilePickerUtils::cleanedName(""), "audio");
  EXPECT_EQ(FilePickerUtils::cleanedName("\xff\xfe"), "__");
  const std::string longName = FilePickerUtils::cleanedName(std::string(40, 'a') + "\xc3\xa9\xc3\xa9" +
                                                            std::string(40, 'b'));
  EXPECT_LE(longName.size(), 64u);
  EXPECT_EQ(longName.substr(40, 4), "\xc3\xa9\xc3\xa9");
}

TEST_F(ImageUtilsTest, TemporaryImagesAreFileURLsInTheirFormat) {
  TempFolder temp;
  ScriptedLocations::installed().setContainerRoot(temp.path());
  auto opaque = UIImage::imageWithCGImage(CGImage::create(
      4, 4, 8, 32, 16, kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big,
      std::make_shared<Bytes>(64, 200)));
  auto clear = UIImage::imageWithCGImage(CGImage::create(
      4, 4, 8, 32, 16, kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Big,
      std::make_shared<Bytes>(64, 100)));
  EXPECT_FALSE(ImageUtils::hasAlpha(opaque));
  EXPECT_TRUE(ImageUtils::hasAlpha(clear));
  auto jpeg = ImageUtils::saveTmpImage(opaque);
  auto png = ImageUtils::saveTmpImage(clear);
  ASSERT_TRUE(jpeg && png);
  EXPECT_TRUE(jpeg->isFileURL());
  EXPECT_EQ(jpeg->pathExtension(), "jpg");
  EXPECT_EQ(png->pathExtension(), "png");
  EXPECT_EQ(ReadText(jpeg->path()).substr(0, 2), "\xff\xd8");
  EXPECT_EQ(ReadText(png->path()).substr(1, 3), "PNG");
  ScriptedLocations::installed().setContainerRoot("");
}

}  // namespace
