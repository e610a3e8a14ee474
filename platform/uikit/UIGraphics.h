#pragma once

// UIKit's drawing context stack and bitmap image contexts. The stack belongs
// to the calling thread, as on the platform. Image contexts and renderers
// draw with the origin at the top-left corner, one unit per point, scaled to
// pixels by their scale factor.

#include <memory>

#include "platform/coregraphics/CGContext.h"

class UIImage;

CGContextRef UIGraphicsGetCurrentContext();
void UIGraphicsPushContext(const CGContextRef& context);
void UIGraphicsPopContext();

// Scale 0 means the main screen's scale. An empty size opens nothing (the
// current context stays what it was) and logs, as the platform does.
void UIGraphicsBeginImageContext(CGSize size);
void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, double scale);
// nullptr unless the current context is an image context.
std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext();
// Pops the current context when it is an image context.
void UIGraphicsEndImageContext();

// Fill a rectangle of the current context with its fill colour.
void UIRectFill(CGRect rect);
void UIRectFillUsingBlendMode(CGRect rect, CGBlendMode mode);
void UIRectClip(CGRect rect);

// The bitmap a UIKit image context of this size, scale and opaqueness uses:
// host byte order, alpha first (premultiplied) or skipped when opaque; origin
// flipped to the top-left. nullptr for an empty or too large size.
CGContextRef UIGraphicsCreateImageContext(CGSize size, bool opaque, double scale);
