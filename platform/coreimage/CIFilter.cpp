#include "CIFilter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <vector>

#include "platform/coregraphics/CGContext.h"

const char* const kCIInputImageKey = "inputImage";
const char* const kCIInputBackgroundImageKey = "inputBackgroundImage";
const char* const kCIInputRadiusKey = "inputRadius";
const char* const kCIInputAngleKey = "inputAngle";
const char* const kCIInputBrightnessKey = "inputBrightness";
const char* const kCIInputSaturationKey = "inputSaturation";
const char* const kCIInputContrastKey = "inputContrast";

namespace {

const std::map<std::string, CGBlendMode>& compositingModes() {
  static const std::map<std::string, CGBlendMode> modes = {
      {"CISourceOverCompositing", kCGBlendModeNormal},
      {"CISourceInCompositing", kCGBlendModeSourceIn},
      {"CISourceOutCompositing", kCGBlendModeSourceOut},
      {"CISourceAtopCompositing", kCGBlendModeSourceAtop},
      {"CIAdditionCompositing", kCGBlendModePlusLighter},
      {"CIMultiplyBlendMode", kCGBlendModeMultiply},
      {"CIScreenBlendMode", kCGBlendModeScreen},
      {"CIOverlayBlendMode", kCGBlendModeOverlay},
      {"CIDarkenBlendMode", kCGBlendModeDarken},
      {"CILightenBlendMode", kCGBlendModeLighten},
      {"CIColorDodgeBlendMode", kCGBlendModeColorDodge},
      {"CIColorBurnBlendMode", kCGBlendModeColorBurn},
      {"CISoftLightBlendMode", kCGBlendModeSoftLight},
      {"CIHardLightBlendMode", kCGBlendModeHardLight},
      {"CIDifferenceBlendMode", kCGBlendModeDifference},
      {"CIExclusionBlendMode", kCGBlendModeExclusion},
      {"CIHueBlendMode", kCGBlendModeHue},
      {"CISaturationBlendMode", kCGBlendModeSaturation},
      {"CIColorBlendMode", kCGBlendModeColor},
      {"CILuminosityBlendMode", kCGBlendModeLuminosity},
  };
  return modes;
}

bool isPixelFilter(const std::string& name) {
  return name == "CIColorControls" || name == "CIColorClamp";
}

bool knownName(const std::string& name) {
  return compositingModes().count(name) || isPixelFilter(name) || name == "CIGaussianBlur" ||
         name == "CIStraightenFilter";
}

// Premultiplied RGBA of an image's extent.
std::vector<uint8_t> premultipliedPixels(const CIImage& image) {
  const CGRect extent = image.extent();
  CGImageRef bitmap = CIRenderBitmap(extent, [&](const CGContextRef& context) {
    CGContextSetBlendMode(context, kCGBlendModeCopy);
    CGContextDrawImage(context, extent, image.cgImage());
  });
  auto data = bitmap ? bitmap->pixelData() : nullptr;
  if (!data) return {};
  return std::vector<uint8_t>(data->begin(), data->end());
}

CIImageRef fromPremultiplied(std::vector<uint8_t> pixels, CGRect extent) {
  const auto width = size_t(extent.size.width), height = size_t(extent.size.height);
  CGImageRef bitmap =
      CGImage::create(width, height, 8, 32, width * 4, kCGImageAlphaPremultipliedLast,
                      std::make_shared<const Bytes>(std::move(pixels)));
  return bitmap ? CIImage::imageWithCGImage(bitmap, extent.origin) : nullptr;
}

// One pass of a Gaussian along a line of premultiplied pixels, transparent
// beyond the ends.
void gaussianPass(const uint8_t* src, uint8_t* dst, size_t count, size_t stride,
                  const std::vector<double>& kernel) {
  const long half = long(kernel.size() / 2);
  for (size_t i = 0; i < count; ++i) {
    double sum[4] = {0, 0, 0, 0};
    for (long k = -half; k <= half; ++k) {
      const long j = long(i) + k;
      if (j < 0 || j >= long(count)) continue;
      const uint8_t* p = src + size_t(j) * stride;
      const double w = kernel[size_t(k + half)];
      for (int c = 0; c < 4; ++c) sum[c] += w * p[c];
    }
    for (int c = 0; c < 4; ++c) dst[i * stride + c] = uint8_t(std::clamp(sum[c] + 0.5, 0.0, 255.0));
  }
}

// The blur spreads the image by three standard deviations on every side.
CIImageRef gaussianBlur(const CIImage& input, double sigma) {
  if (CGRectIsInfinite(input.extent()) || sigma <= 0) {
    return input.imageByCroppingToRect(input.extent());
  }
  const long half = long(std::ceil(3 * sigma));
  std::vector<double> kernel(size_t(2 * half + 1));
  double total = 0;
  for (long k = -half; k <= half; ++k) {
    kernel[size_t(k + half)] = std::exp(-double(k * k) / (2 * sigma * sigma));
    total += kernel[size_t(k + half)];
  }
  for (double& w : kernel) w /= total;
  const CGRect extent = CGRectInset(input.extent(), -double(half), -double(half));
  // The input drawn into the grown extent, transparent around it.
  CGImageRef padded = CIRenderBitmap(extent, [&](const CGContextRef& context) {
    CGContextDrawImage(context, input.extent(), input.cgImage());
  });
  auto source = padded ? padded->pixelData() : nullptr;
  if (!source) return nullptr;
  std::vector<uint8_t> pixels(source->begin(), source->end()), line;
  const auto width = size_t(extent.size.width), height = size_t(extent.size.height);
  line.resize(std::max(width, height) * 4);
  std::vector<uint8_t> column(height * 4);
  for (size_t y = 0; y < height; ++y) {
    uint8_t* row = pixels.data() + y * width * 4;
    gaussianPass(row, line.data(), width, 4, kernel);
    std::copy(line.begin(), line.begin() + long(width * 4), row);
  }
  for (size_t x = 0; x < width; ++x) {
    for (size_t y = 0; y < height; ++y)
      std::copy_n(&pixels[(y * width + x) * 4], 4, &column[y * 4]);
    gaussianPass(column.data(), line.data(), height, 4, kernel);
    for (size_t y = 0; y < height; ++y) std::copy_n(&line[y * 4], 4, &pixels[(y * width + x) * 4]);
  }
  return fromPremultiplied(std::move(pixels), extent);
}

// Turned about the centre and enlarged just enough that no corner of the
// extent is left empty; the extent stays.
CIImageRef straighten(const CIImage& input, double angle) {
  const CGRect extent = input.extent();
  if (CGRectIsInfinite(extent)) return input.imageByApplyingTransform(CGAffineTransformIdentity);
  const double w = extent.size.width, h = extent.size.height;
  const double c = std::fabs(std::cos(angle)), s = std::fabs(std::sin(angle));
  const double scale = std::max((w * c + h * s) / w, (w * s + h * c) / h);
  const double cx = CGRectGetMidX(extent), cy = CGRectGetMidY(extent);
  CGAffineTransform t = CGAffineTransformMakeTranslation(-cx, -cy);
  t = CGAffineTransformConcat(t, CGAffineTransformMakeScale(scale, scale));
  t = CGAffineTransformConcat(t, CGAffineTransformMakeRotation(angle));
  t = CGAffineTransformConcat(t, CGAffineTransformMakeTranslation(cx, cy));
  return input.imageByApplyingTransform(t)->imageByCroppingToRect(extent);
}

struct ColorOperation {
  double brightness = 0, saturation = 1, contrast = 1;
  std::array<double, 4> low{0, 0, 0, 0}, high{1, 1, 1, 1};

  // Straight components in, straight components out.
  void apply(double rgba[4]) const {
    const double luma = 0.2126 * rgba[0] + 0.7152 * rgba[1] + 0.0722 * rgba[2];
    for (int c = 0; c < 3; ++c) {
      double v = luma + (rgba[c] - luma) * saturation;
      v = (v - 0.5) * contrast + 0.5 + brightness;
      rgba[c] = v;
    }
    for (int c = 0; c < 4; ++c) rgba[c] = std::clamp(rgba[c], low[size_t(c)], high[size_t(c)]);
  }
};

CIImageRef colorFilter(const CIImage& input, const ColorOperation& op) {
  if (input.color()) {
    const CIColor& c = *input.color();
    double rgba[4] = {c.red, c.green, c.blue, c.alpha};
    op.apply(rgba);
    return CIImage::imageWithColor(CIColor::colorWithRed(rgba[0], rgba[1], rgba[2], rgba[3]));
  }
  std::vector<uint8_t> pixels = premultipliedPixels(input);
  for (size_t i = 0; i + 3 < pixels.size(); i += 4) {
    const double a = pixels[i + 3] / 255.0;
    if (a <= 0) continue;
    double rgba[4] = {pixels[i] / 255.0 / a, pixels[i + 1] / 255.0 / a, pixels[i + 2] / 255.0 / a,
                      a};
    op.apply(rgba);
    for (int c = 0; c < 3; ++c)
      pixels[i + size_t(c)] = uint8_t(std::lround(rgba[c] * rgba[3] * 255));
    pixels[i + 3] = uint8_t(std::lround(rgba[3] * 255));
  }
  return pixels.empty() ? nullptr
                        : fromPremultiplied(std::move(pixels), CGRectIntegral(input.extent()));
}

// The input drawn over the background with the blend mode, over the union of
// their extents (a colour image takes the other's extent).
CIImageRef composite(const CIImage& input, const CIImage& background, CGBlendMode mode) {
  CGRect extent;
  if (input.color() && background.color()) return nullptr;  // nothing bounds the result
  if (input.color()) {
    extent = background.extent();
  } else if (background.color()) {
    extent = input.extent();
  } else {
    extent = CGRectUnion(input.extent(), background.extent());
  }
  const CIImageRef top = input.imageByCroppingToRect(extent);
  const CIImageRef bottom = background.imageByCroppingToRect(extent);
  CGImageRef drawn = CIRenderBitmap(extent, [&](const CGContextRef& context) {
    if (bottom->cgImage()) CGContextDrawImage(context, bottom->extent(), bottom->cgImage());
    CGContextSetBlendMode(context, mode);
    if (top->cgImage()) CGContextDrawImage(context, top->extent(), top->cgImage());
  });
  return drawn ? CIImage::imageWithCGImage(drawn, CGRectIntegral(extent).origin) : nullptr;
}

}  // namespace

std::shared_ptr<CIFilter> CIFilter::filterWithName(const std::string& name) {
  return knownName(name) ? std::make_shared<CIFilter>(name) : nullptr;
}

void CIFilter::setValue(const Value& value, const std::string& key) {
  ValueMapSet(values_, Value(key), value);
}

Value CIFilter::valueForKey(const std::string& key) const {
  const Value* v = ValueMapFind(values_, key);
  return v ? *v : Value();
}

void CIFilter::setImage(const CIImageRef& image, const std::string& key) {
  setValue(image ? Value(std::shared_ptr<NSObject>(image)) : Value(), key);
}

CIImageRef CIFilter::imageForKey(const std::string& key) const {
  const Value v = valueForKey(key);
  return v.isObject() ? v.objectAs<CIImage>() : nullptr;
}

double CIFilter::number(const char* key, double fallback) const {
  const Value v = valueForKey(key);
  return v.isNumber() ? v.asDouble() : fallback;
}

CIImageRef CIFilter::outputImage() const {
  const CIImageRef input = imageForKey(kCIInputImageKey);
  if (!input) return nullptr;
  if (auto mode = compositingModes().find(name_); mode != compositingModes().end()) {
    const CIImageRef background = imageForKey(kCIInputBackgroundImageKey);
    return background ? composite(*input, *background, mode->second) : nullptr;
  }
  if (name_ == "CIGaussianBlur") return gaussianBlur(*input, number(kCIInputRadiusKey, 10));
  if (name_ == "CIStraightenFilter") return straighten(*input, number(kCIInputAngleKey, 0));
  ColorOperation op;
  if (name_ == "CIColorControls") {
    op.brightness = number(kCIInputBrightnessKey, 0);
    op.saturation = number(kCIInputSaturationKey, 1);
    op.contrast = number(kCIInputContrastKey, 1);
  } else {
    auto components = [this](const char* key, std::array<double, 4>& out) {
      const Value v = valueForKey(key);
      if (!v.isList() || v.asList().size() != 4) return;
      for (size_t i = 0; i < 4; ++i) out[i] = v.asList()[i].asDouble();
    };
    components("inputMinComponents", op.low);
    components("inputMaxComponents", op.high);
  }
  return colorFilter(*input, op);
}
