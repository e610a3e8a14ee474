#pragma once

// Loading a URL into an animated image view: the load asks for the animated
// image class, so the view gets an image it can play frame by frame. Each
// short form passes nothing (or 0) for what it leaves out.

#include "image_loading/categories/internal/UIViewRemoteCache.h"

class ILAnimatedImageView;

void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder = nullptr, ILRemoteImageOptions options = 0,
                        const ILRemoteImageContext& context = Value(),
                        ILRemoteImageProgressBlock progress = nullptr,
                        ILExternalCompletionBlock completed = nullptr);
void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        ILExternalCompletionBlock completed);
void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder, ILExternalCompletionBlock completed);
void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILExternalCompletionBlock completed);
void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILRemoteImageProgressBlock progress, ILExternalCompletionBlock completed);
