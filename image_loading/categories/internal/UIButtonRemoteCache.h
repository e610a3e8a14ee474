#pragma once

// Loading a URL into a button's image or background image of one control
// state, each state under an operation key of its own. Each short form
// passes nothing (or 0) for what it leaves out.

#include <string>

#include "image_loading/categories/internal/UIViewRemoteCache.h"

class UIButton;

void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder = nullptr, ILRemoteImageOptions options = 0,
                        const ILRemoteImageContext& context = Value(),
                        ILRemoteImageProgressBlock progress = nullptr,
                        ILExternalCompletionBlock completed = nullptr);
void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        ILExternalCompletionBlock completed);
void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder, ILExternalCompletionBlock completed);
void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILExternalCompletionBlock completed);
void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILRemoteImageProgressBlock progress, ILExternalCompletionBlock completed);

void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder = nullptr,
                                  ILRemoteImageOptions options = 0,
                                  const ILRemoteImageContext& context = Value(),
                                  ILRemoteImageProgressBlock progress = nullptr,
                                  ILExternalCompletionBlock completed = nullptr);
void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  ILExternalCompletionBlock completed);
void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder,
                                  ILExternalCompletionBlock completed);
void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder, ILRemoteImageOptions options,
                                  ILExternalCompletionBlock completed);
void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder, ILRemoteImageOptions options,
                                  ILRemoteImageProgressBlock progress,
                                  ILExternalCompletionBlock completed);

// "UIButtonImageOperation<state>" and "UIButtonBackgroundImageOperation<state>".
std::string il_imageOperationKeyForState(uint64_t state);
std::string il_backgroundImageOperationKeyForState(uint64_t state);
NSURLPtr il_imageURLForState(const UIButton& button, uint64_t state);
NSURLPtr il_backgroundImageURLForState(const UIButton& button, uint64_t state);
// For the button's current state, else for the normal state.
NSURLPtr il_currentImageURL(const UIButton& button);
NSURLPtr il_currentBackgroundImageURL(const UIButton& button);
void il_cancelImageLoadForState(UIButton& button, uint64_t state);
void il_cancelBackgroundImageLoadForState(UIButton& button, uint64_t state);
