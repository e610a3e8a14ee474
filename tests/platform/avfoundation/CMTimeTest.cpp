#include <cmath>

#include "platform/avfoundation/AVUtilities.h"
#include "platform/avfoundation/CMTime.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace cm_time_test {

using CMTimeTest = PlatformTest;

TEST_F(CMTimeTest, NumbersInvalidAndIndefiniteTimesCompareAndConvertAsThePlatformDoes) {
  CMTime third = CMTimeMake(1, 3);
  EXPECT_TRUE(CMTIME_IS_NUMERIC(third));
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(third), 1.0 / 3);
  EXPECT_EQ(CMTimeMake(10, 30), third);  // equal instants in other timescales
  EXPECT_LT(CMTimeMake(29, 30), CMTimeMake(1, 1));
  EXPECT_GT(CMTimeMake(-1, 600), CMTimeMake(-2, 600));
  // Huge values compare exactly, without overflow.
  EXPECT_LT(CMTimeMake(INT64_MAX - 1, 1), CMTimeMake(INT64_MAX, 1));
  EXPECT_GT(CMTimeMake(INT64_MAX, 2), CMTimeMake(INT64_MAX - 1, 2));

  EXPECT_FALSE(CMTIME_IS_VALID(CMTimeMake(1, 0)));
  EXPECT_TRUE(std::isnan(CMTimeGetSeconds(kCMTimeInvalid)));
  EXPECT_TRUE(std::isnan(CMTimeGetSeconds(kCMTimeIndefinite)));
  EXPECT_FALSE(CMTIME_IS_NUMERIC(kCMTimeIndefinite));
  EXPECT_TRUE(CMTIME_IS_INDEFINITE(kCMTimeIndefinite));
  EXPECT_EQ(CMTimeGetSeconds(kCMTimePositiveInfinity), INFINITY);
  // -inf < numbers < indefinite < +inf < invalid.
  EXPECT_LT(kCMTimeNegativeInfinity, CMTimeMake(-1000, 1));
  EXPECT_LT(CMTimeMake(1000000, 1), kCMTimeIndefinite);
  EXPECT_LT(kCMTimeIndefinite, kCMTimePositiveInfinity);
  EXPECT_LT(kCMTimePositiveInfinity, kCMTimeInvalid);
  EXPECT_EQ(kCMTimeInvalid, CMTimeMake(5, -1));

  CMTime sum = CMTimeAdd(CMTimeMake(1, 3), CMTimeMake(1, 2));
  EXPECT_EQ(sum.timescale, 6);
  EXPECT_EQ(sum.value, 5);
  EXPECT_EQ(CMTimeSubtract(CMTimeMake(1, 2), CMTimeMake(1, 3)), CMTimeMake(1, 6));
  EXPECT_TRUE(CMTIME_IS_INDEFINITE(CMTimeAdd(kCMTimeIndefinite, third)));
  EXPECT_FALSE(CMTIME_IS_VALID(CMTimeAdd(kCMTimeInvalid, third)));
  EXPECT_FALSE(CMTIME_IS_VALID(CMTimeAdd(kCMTimePositiveInfinity, kCMTimeNegativeInfinity)));
  EXPECT_TRUE(CMTIME_IS_POSITIVE_INFINITY(CMTimeSubtract(third, kCMTimeNegativeInfinity)));

  CMTime fromSeconds = CMTimeMakeWithSeconds(1.5, 600);
  EXPECT_EQ(fromSeconds.value, 900);
  EXPECT_EQ(fromSeconds.timescale, 600);
  EXPECT_EQ(fromSeconds.flags & kCMTimeFlags_HasBeenRounded, 0u);
  CMTime rounded = CMTimeMakeWithSeconds(0.0016, 600);
  EXPECT_EQ(rounded.value, 1);
  EXPECT_NE(rounded.flags & kCMTimeFlags_HasBeenRounded, 0u);
  EXPECT_FALSE(CMTIME_IS_VALID(CMTimeMakeWithSeconds(NAN, 600)));
  EXPECT_EQ(CMTimeConvertScale(CMTimeMake(2, 3), 600).value, 400);
  EXPECT_EQ(CMTimeConvertScale(CMTimeMake(-1, 3), 2).value, -1);  // -0.67 rounds to -1

  // Times cross observers as dictionaries and come back whole.
  CMTime back = CMTimeMakeFromDictionary(CMTimeCopyAsDictionary(CMTimeMake(7, 30)));
  EXPECT_EQ(back.value, 7);
  EXPECT_EQ(back.timescale, 30);
  EXPECT_TRUE(CMTIME_IS_INDEFINITE(CMTimeMakeFromDictionary(CMTimeCopyAsDictionary(kCMTimeIndefinite))));
  EXPECT_FALSE(CMTIME_IS_VALID(CMTimeMakeFromDictionary(Value("1/3"))));
  EXPECT_FALSE(CMTIME_IS_VALID(CMTimeMakeFromDictionary(Value::map({{"value", Value(1)}}))));
}

TEST_F(CMTimeTest, AspectRectsFitCentredAndDegenerateInputsGiveAnEmptyRect) {
  CGRect wide = AVMakeRectWithAspectRatioInsideRect(CGSizeMake(16, 9), CGRectMake(10, 20, 100, 100));
  EXPECT_DOUBLE_EQ(wide.size.width, 100);
  EXPECT_DOUBLE_EQ(wide.size.height, 56.25);
  EXPECT_DOUBLE_EQ(wide.origin.x, 10);
  EXPECT_DOUBLE_EQ(wide.origin.y, 20 + (100 - 56.25) / 2);
  CGRect tall = AVMakeRectWithAspectRatioInsideRect(CGSizeMake(1, 2), CGRectMake(0, 0, 300, 100));
  EXPECT_DOUBLE_EQ(tall.size.width, 50);
  EXPECT_DOUBLE_EQ(tall.size.height, 100);
  EXPECT_DOUBLE_EQ(tall.origin.x, 125);
  CGRect none = AVMakeRectWithAspectRatioInsideRect(CGSizeMake(0, 9), CGRectMake(0, 0, 40, 20));
  EXPECT_DOUBLE_EQ(none.size.width, 0);
  EXPECT_DOUBLE_EQ(none.origin.x, 20);
  EXPECT_DOUBLE_EQ(none.origin.y, 10);
}

}  // namespace cm_time_test
