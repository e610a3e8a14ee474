#pragma once

// Core Image's feature detector, for QR codes: a detector made for the QR
// type reads every code in an image through the QR scanner (ZBar unless
// tests install another). Other detector types are not built and give nil.
// Feature geometry is in the image's Core Image coordinates (y up, within
// the image's extent).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreimage/CIContext.h"
#include "platform/coreimage/CIImage.h"

inline const char* const CIDetectorTypeQRCode = "CIDetectorTypeQRCode";
inline const char* const CIDetectorTypeFace = "CIDetectorTypeFace";
inline const char* const CIDetectorTypeRectangle = "CIDetectorTypeRectangle";
inline const char* const CIDetectorTypeText = "CIDetectorTypeText";
inline const char* const CIDetectorAccuracy = "CIDetectorAccuracy";
inline const char* const CIDetectorAccuracyLow = "CIDetectorAccuracyLow";
inline const char* const CIDetectorAccuracyHigh = "CIDetectorAccuracyHigh";
inline const char* const CIFeatureTypeQRCode = "QRCode";

class CIFeature : public NSObject {
 public:
  virtual std::string type() const = 0;
  CGRect bounds() const { return bounds_; }
  std::string className() const override { return "CIFeature"; }

 protected:
  explicit CIFeature(CGRect bounds) : bounds_(bounds) {}

 private:
  CGRect bounds_;
};

class CIQRCodeFeature : public CIFeature {
 public:
  CIQRCodeFeature(CGRect bounds, CGPoint topLeft, CGPoint topRight, CGPoint bottomLeft,
                  CGPoint bottomRight, std::optional<std::string> messageString)
      : CIFeature(bounds),
        topLeft_(topLeft),
        topRight_(topRight),
        bottomLeft_(bottomLeft),
        bottomRight_(bottomRight),
        messageString_(std::move(messageString)) {}

  std::string type() const override { return CIFeatureTypeQRCode; }
  CGPoint topLeft() const { return topLeft_; }
  CGPoint topRight() const { return topRight_; }
  CGPoint bottomLeft() const { return bottomLeft_; }
  CGPoint bottomRight() const { return bottomRight_; }
  // nullopt when the code's bytes are not text.
  const std::optional<std::string>& messageString() const { return messageString_; }
  std::string className() const override { return "CIQRCodeFeature"; }

 private:
  CGPoint topLeft_, topRight_, bottomLeft_, bottomRight_;
  std::optional<std::string> messageString_;
};

using CIFeatureRef = std::shared_ptr<CIFeature>;

class CIDetector : public NSObject {
 public:
  enum class Accuracy { Low, High };

  // nullptr for a type other than QR code. Options: CIDetectorAccuracy, low
  // or high (high when absent).
  static std::shared_ptr<CIDetector> detectorOfType(const std::string& type,
                                                    const CIContextRef& context,
                                                    const Value& options = NullValue());

  // Every QR code found, in the scanner's order; empty for an image without
  // pixels (a colour image, an empty one, nil). Low accuracy reads the image
  // scaled down to at most kLowAccuracyPixels, high accuracy to at most
  // kHighAccuracyPixels; an image beyond kMaxSourcePixels is read band by
  // band when its source can decode rows, and refused otherwise.
  std::vector<CIFeatureRef> featuresInImage(const CIImageRef& image) const;

  Accuracy accuracy() const { return accuracy_; }
  std::string className() const override { return "CIDetector"; }

  static constexpr size_t kLowAccuracyPixels = 2u << 20;
  static constexpr size_t kHighAccuracyPixels = 16u << 20;
  static constexpr size_t kMaxSourcePixels = 64u << 20;

  explicit CIDetector(Accuracy accuracy) : accuracy_(accuracy) {}

 private:
  Accuracy accuracy_;
};

using CIDetectorRef = std::shared_ptr<CIDetector>;
