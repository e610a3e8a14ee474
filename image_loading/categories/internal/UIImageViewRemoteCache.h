#pragma once

// Loading a URL into an image view: its image (under the view's class name
// as operation key) and its highlighted image (under "highlightedImage").
// Each short form passes nothing (or 0) for what it leaves out.

#include "image_loading/categories/internal/UIViewRemoteCache.h"

class UIImageView;

void il_setImageWithURL(UIImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder = nullptr, ILRemoteImageOptions options = 0,
                        const ILRemoteImageContext& context = Value(),
                        ILRemoteImageProgressBlock progress = nullptr,
                        ILExternalCompletionBlock completed = nullptr);
void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, ILExternalCompletionBlock completed);
void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, const UIImagePtr& placeholder,
                        ILExternalCompletionBlock completed);
void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, const UIImagePtr& placeholder,
                        ILRemoteImageOptions options, ILExternalCompletionBlock completed);
void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, const UIImagePtr& placeholder,
                        ILRemoteImageOptions options, ILRemoteImageProgressBlock progress,
                        ILExternalCompletionBlock completed);
NSURLPtr il_currentImageURL(const UIImageView& view);
void il_cancelCurrentImageLoad(UIImageView& view);

inline constexpr const char* ILHighlightedImageOperationKey = "highlightedImage";

void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILRemoteImageOptions options = 0,
                                   const ILRemoteImageContext& context = Value(),
                                   ILRemoteImageProgressBlock progress = nullptr,
                                   ILExternalCompletionBlock completed = nullptr);
void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILExternalCompletionBlock completed);
void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILRemoteImageOptions options, ILExternalCompletionBlock completed);
void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILRemoteImageOptions options, ILRemoteImageProgressBlock progress,
                                   ILExternalCompletionBlock completed);
NSURLPtr il_currentHighlightedImageURL(const UIImageView& view);
void il_cancelCurrentHighlightedImageLoad(UIImageView& view);
