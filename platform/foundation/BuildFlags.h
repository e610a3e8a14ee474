#pragma once

// QX_CHECKED is 1 in the checked builds (address, undefined-behaviour or
// thread sanitizer), where misuse that release builds only log stops the
// process so that tests see it.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(QX_STRICT_REPLIES)
#define QX_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QX_CHECKED 1
#endif
#endif
#ifndef QX_CHECKED
#define QX_CHECKED 0
#endif

// QX_LEAK_CHECKED is defined in the address-sanitizer build, whose exit runs
// the leak check. GCC names that sanitizer with a macro, clang with
// __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define QX_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QX_LEAK_CHECKED 1
#endif
#endif
