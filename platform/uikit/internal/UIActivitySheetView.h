#pragma once

// What the share sheet shows. On a phone: the screen dimmed, and at the
// bottom a card with a grabber, a preview of the items (an image's
// thumbnail or a tile naming the kind, a title, and the text, the file names
// or the link), a close button, and a row of the offered activities. The
// close button ends the sheet without an activity; so does pulling the card
// down by UIActivityViewController::kDismissDistance or more (less springs
// it back); an activity's
// button runs it. In a popover the card fills the view and has no grabber.

#include <memory>

class UIView;
class UIActivityViewController;

std::shared_ptr<UIView> UIActivitySheetViewMake(
    const std::shared_ptr<UIActivityViewController>& sheet);
