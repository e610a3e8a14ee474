#include "crop/CropTestSupport.h"

#include "platform/coregraphics/CGContext.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/ui/ScriptedDisplay.h"

UIImagePtr CropTestPicture(double w, double h, double scale) {
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(scale);
  format->setOpaque(true);
  UIGraphicsImageRenderer renderer(CGSizeMake(w, h), format);
  return renderer.imageWithActions([w, h](UIGraphicsImageRendererContext& rc) {
    const CGContextRef& c = rc.CGContext();
    const int bands = 8;
    for (int i = 0; i < bands; ++i) {
      double t = double(i) / (bands - 1);
      CGContextSetRGBFillColor(c, 0.15 + 0.7 * t, 0.35, 0.85 - 0.6 * t, 1);
      CGContextFillRect(c, CGRectMake(w * i / bands, 0, w / bands + 1, h));
    }
    CGContextSetRGBFillColor(c, 1, 0.85, 0.1, 1);
    CGContextFillEllipseInRect(c, CGRectMake(w * 0.1, h * 0.15, h * 0.4, h * 0.4));
    CGContextSetRGBFillColor(c, 1, 1, 1, 0.9);
    CGContextFillRect(c, CGRectMake(0, 0, w, h * 0.06));  // a white top edge shows turns
    CGContextSetRGBStrokeColor(c, 0, 0, 0, 0.5);
    CGContextSetLineWidth(c, 1);
    for (double x = w / 4; x < w; x += w / 4) {
      CGContextMoveToPoint(c, x, 0);
      CGContextAddLineToPoint(c, x, h);
    }
    CGContextStrokePath(c);
  });
}

std::shared_ptr<UIWindow> CropTestWindow() {
  UseScreenProfile(UIScreenProfile::phone());
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->makeKeyAndVisible();
  return window;
}
