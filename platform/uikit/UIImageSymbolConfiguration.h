#pragma once

// How a symbol image is drawn: its point size (the text size it matches),
// weight and scale. Symbol images are vector shapes drawn at the size and
// weight their configuration asks for, as templates that take the tint of
// the view showing them.

#include <memory>

#include "platform/foundation/NSObject.h"

// Raw values as on the platform.
enum UIImageSymbolWeight : int64_t {
  UIImageSymbolWeightUnspecified = 0,
  UIImageSymbolWeightUltraLight = 1,
  UIImageSymbolWeightThin = 2,
  UIImageSymbolWeightLight = 3,
  UIImageSymbolWeightRegular = 4,
  UIImageSymbolWeightMedium = 5,
  UIImageSymbolWeightSemibold = 6,
  UIImageSymbolWeightBold = 7,
  UIImageSymbolWeightHeavy = 8,
  UIImageSymbolWeightBlack = 9,
};

enum UIImageSymbolScale : int64_t {
  UIImageSymbolScaleDefault = -1,
  UIImageSymbolScaleUnspecified = 0,
  UIImageSymbolScaleSmall = 1,
  UIImageSymbolScaleMedium = 2,
  UIImageSymbolScaleLarge = 3,
};

class UIImageSymbolConfiguration;
using UIImageSymbolConfigurationPtr = std::shared_ptr<UIImageSymbolConfiguration>;

class UIImageSymbolConfiguration : public NSObject {
 public:
  // A point size of 0 and unspecified values leave the default: 17 points
  // (body text), regular weight, medium scale.
  static UIImageSymbolConfigurationPtr configurationWithPointSize(double pointSize);
  static UIImageSymbolConfigurationPtr configurationWithPointSize(double pointSize,
                                                                  UIImageSymbolWeight weight);
  static UIImageSymbolConfigurationPtr configurationWithPointSize(double pointSize,
                                                                  UIImageSymbolWeight weight,
                                                                  UIImageSymbolScale scale);
  static UIImageSymbolConfigurationPtr configurationWithWeight(UIImageSymbolWeight weight);
  static UIImageSymbolConfigurationPtr configurationWithScale(UIImageSymbolScale scale);
  static UIImageSymbolConfigurationPtr unspecifiedConfiguration();

  double pointSize() const { return pointSize_; }
  UIImageSymbolWeight weight() const { return weight_; }
  UIImageSymbolScale scale() const { return scale_; }
  // This configuration with the values `other` specifies laid over it.
  UIImageSymbolConfigurationPtr configurationByApplyingConfiguration(
      const UIImageSymbolConfigurationPtr& other) const;

  // What drawing uses: unspecified values replaced by the defaults.
  double resolvedPointSize() const { return pointSize_ > 0 ? pointSize_ : 17; }
  UIImageSymbolWeight resolvedWeight() const;
  // The size factor of the scale: small, medium and large.
  double resolvedScaleFactor() const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;
  std::string className() const override { return "UIImageSymbolConfiguration"; }

 private:
  double pointSize_ = 0;
  UIImageSymbolWeight weight_ = UIImageSymbolWeightUnspecified;
  UIImageSymbolScale scale_ = UIImageSymbolScaleUnspecified;
};
